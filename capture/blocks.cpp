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

std::string Interface(std::int32_t Line, const std::string &Device) {
  std::string Body;
  Put(Body, LinkTypeUser0);
  Put(Body, std::uint16_t{0});
  Put(Body, std::uint32_t{0}); // no snap length
  TextOption(Body, OptIfName, "line " + std::to_string(Line));
  if (!Device.empty())
    TextOption(Body, OptIfDescription, Device);
  const std::uint8_t Microseconds = 6;
  Option(Body, OptIfTsresol, &Microseconds, 1);
  EndOptions(Body);
  return Block(InterfaceDescription, Body);
}

std::string Packet(std::uint32_t Interface, TClock::time_point At, bool Outbound,
                   const TCapturedExchange &Exchange, const std::vector<std::uint8_t> &Bytes) {
  std::string Data;
  Data.push_back(static_cast<char>(HeaderVersion));
  Data.push_back(static_cast<char>(Exchange.Outcome));
  Data.push_back(static_cast<char>(Exchange.Result));
  Data.push_back(static_cast<char>(Exchange.ReplyLength));
  for (int Shift = 0; Shift < 32; Shift += 8) // little-endian whatever the machine
    Data.push_back(static_cast<char>((Exchange.Number >> Shift) & 0xFF));
  Data.append(reinterpret_cast<const char *>(Bytes.data()), Bytes.size());

  const auto Micros = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(At.time_since_epoch()).count());
  std::string Body;
  Put(Body, Interface);
  Put(Body, static_cast<std::uint32_t>(Micros >> 32));
  Put(Body, static_cast<std::uint32_t>(Micros & 0xFFFFFFFFu));
  Put(Body, static_cast<std::uint32_t>(Data.size()));
  Put(Body, static_cast<std::uint32_t>(Data.size()));
  Body += Data;
  Pad(Body);
  const std::uint32_t Flags = Outbound ? FlagOutbound : FlagInbound;
  Option(Body, OptEpbFlags, &Flags, sizeof Flags);
  EndOptions(Body);
  return Block(EnhancedPacket, Body);
}

} // namespace de30::capture::blocks
