#include "capture/blocks.hpp"

#include <cstring>

namespace de30::capture::blocks {

namespace {

template <typename T> void Put(std::string &Out, T Value) {
  char Bytes[sizeof(T)];
  std::memcpy(Bytes, &Value, sizeof(T));
  Out.append(Bytes, sizeof(T));
}

void Pad(std::string &Out) {
  while (Out.size() % 4 != 0)
    Out.push_back('\0');
}

void Option(std::string &Out, std::uint16_t Code, const void *Data, std::size_t Length) {
  Put(Out, Code);
  Put(Out, static_cast<std::uint16_t>(Length));
  Out.append(static_cast<const char *>(Data), Length);
  Pad(Out);
}

void TextOption(std::string &Out, std::uint16_t Code, const std::string &Text) {
  // An option holds at most 65535 bytes; a description that long is cut, not refused.
  Option(Out, Code, Text.data(), Text.size() > 0xFFFF ? 0xFFFF : Text.size());
}

void EndOptions(std::string &Out) {
  Put(Out, OptEnd);
  Put(Out, std::uint16_t{0});
}

// Type, total length, Body, total length again.
std::string Block(std::uint32_t Type, const std::string &Body) {
  const auto Length = static_cast<std::uint32_t>(Body.size() + 12);
  std::string Out;
  Out.reserve(Length);
  Put(Out, Type);
  Put(Out, Length);
  Out += Body;
  Put(Out, Length);
  return Out;
}

} // namespace

std::string Section(const std::string &Application) {
  std::string Body;
  Put(Body, ByteOrderMagic);
  Put(Body, std::uint16_t{1}); // version 1.0
  Put(Body, std::uint16_t{0});
  Put(Body, std::int64_t{-1}); // section length not known
  TextOption(Body, OptShbUserAppl, Application);
  EndOptions(Body);
  return Block(SectionHeader, Body);
}

THeader HeaderOf(const TCapturedExchange &Exchange) {
  return {static_cast<std::uint8_t>(Exchange.Outcome), Exchange.Result, Exchange.ReplyLength,
          Exchange.Number};
}

std::string Interface(std::int32_t Line, const std::string &Device, bool Listened) {
  std::string Body;
  Put(Body, LinkTypeUser0);
  Put(Body, std::uint16_t{0});
  Put(Body, std::uint32_t{0}); // no snap length
  TextOption(Body, OptIfName, "line " + std::to_string(Line));
  if (!Device.empty())
    TextOption(Body, OptIfDescription, Device);
  if (Listened)
    TextOption(Body, OptComment, ListenedComment);
  const std::uint8_t Microseconds = 6;
  Option(Body, OptIfTsresol, &Microseconds, 1);
  EndOptions(Body);
  return Block(InterfaceDescription, Body);
}

namespace {

std::uint64_t Micros(TClock::time_point At) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(At.time_since_epoch()).count());
}

void Stamp(std::string &Body, TClock::time_point At) {
  const std::uint64_t Us = Micros(At);
  Put(Body, static_cast<std::uint32_t>(Us >> 32));
  Put(Body, static_cast<std::uint32_t>(Us & 0xFFFFFFFFu));
}

} // namespace

std::string Packet(std::uint32_t Interface, TClock::time_point At, std::uint32_t Flags,
                   const THeader &Header, const std::vector<std::uint8_t> &Bytes) {
  std::string Data;
  Data.push_back(static_cast<char>(HeaderVersion));
  Data.push_back(static_cast<char>(Header.Outcome));
  Data.push_back(static_cast<char>(Header.Result));
  Data.push_back(static_cast<char>(Header.ReplyLength));
  for (int Shift = 0; Shift < 32; Shift += 8) // little-endian whatever the machine
    Data.push_back(static_cast<char>((Header.Number >> Shift) & 0xFF));
  Data.append(reinterpret_cast<const char *>(Bytes.data()), Bytes.size());

  std::string Body;
  Put(Body, Interface);
  Stamp(Body, At);
  Put(Body, static_cast<std::uint32_t>(Data.size()));
  Put(Body, static_cast<std::uint32_t>(Data.size()));
  Body += Data;
  Pad(Body);
  Option(Body, OptEpbFlags, &Flags, sizeof Flags);
  EndOptions(Body);
  return Block(EnhancedPacket, Body);
}

std::string Statistics(std::uint32_t Interface, TClock::time_point From, TClock::time_point At,
                       const std::string &Comment) {
  std::string Body;
  Put(Body, Interface);
  Stamp(Body, At);
  TextOption(Body, OptComment, Comment);
  std::string Time;
  Stamp(Time, From);
  Option(Body, OptIsbStartTime, Time.data(), Time.size());
  Time.clear();
  Stamp(Time, At);
  Option(Body, OptIsbEndTime, Time.data(), Time.size());
  EndOptions(Body);
  return Block(InterfaceStatistics, Body);
}

} // namespace de30::capture::blocks
