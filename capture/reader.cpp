#include "capture/reader.hpp"

#include "capture/blocks.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace de30::capture {

namespace {

using namespace blocks;

constexpr std::uint32_t Swapped32(std::uint32_t V) {
  return (V >> 24) | ((V >> 8) & 0xFF00u) | ((V << 8) & 0xFF0000u) | (V << 24);
}
constexpr std::uint16_t Swapped16(std::uint16_t V) {
  return static_cast<std::uint16_t>((V >> 8) | (V << 8));
}

// Stamp counts 1/Units seconds since 1970; exact for every resolution up to
// nanoseconds. A stamp beyond the clock's reach (the year 2255) is held there.
TClock::time_point TimeOf(std::uint64_t Stamp, std::uint64_t Units) {
  using std::chrono::nanoseconds;
  constexpr std::uint64_t Latest = 9'000'000'000;
  const std::uint64_t Seconds = std::min(Stamp / Units, Latest);
  const std::uint64_t Rest = Stamp % Units;
  const auto Fraction =
      Units <= 1000000000
          ? nanoseconds(static_cast<std::int64_t>(Rest * (1000000000 / Units)))
          : nanoseconds(static_cast<std::int64_t>(static_cast<long double>(Rest) * 1e9L /
                                                  static_cast<long double>(Units)));
  return TClock::time_point(std::chrono::duration_cast<TClock::duration>(
      std::chrono::seconds(static_cast<std::int64_t>(Seconds)) + Fraction));
}

struct TInterface {
  std::uint16_t LinkType = 0;
  std::int32_t Line = 0;
  std::uint64_t UnitsPerSecond = 1000000;
  bool Listened = false;
};

class TParser {
public:
  explicit TParser(const std::string &Bytes) : Data(Bytes) {}

  TCaptureContents Run() {
    if (Data.size() < 12 || Read32(0, false) != SectionHeader)
      throw ECaptureError("not a pcapng file (no section header at its start)");
    std::size_t At = 0;
    while (At < Data.size()) {
      if (Data.size() - At < 12) {
        Out.Truncated = true;
        break;
      }
      if (Read32(At, false) == SectionHeader && !StartSection(At))
        break;
      const std::uint32_t Type = Read32(At, Swap);
      const std::uint32_t Length = Read32(At + 4, Swap);
      if (Length < 12 || Length % 4 != 0) {
        Out.Damage = "a block of impossible length " + std::to_string(Length) + " at byte " +
                     std::to_string(At);
        break;
      }
      if (Length > Data.size() - At) {
        Out.Truncated = true;
        break;
      }
      if (Read32(At + Length - 4, Swap) != Length) {
        Out.Damage = "a block whose two lengths differ at byte " + std::to_string(At);
        break;
      }
      if (Type == InterfaceDescription)
        Describe(At + 8, At + Length - 4);
      else if (Type == EnhancedPacket)
        Packet(At + 8, At + Length - 4);
      else if (Type == InterfaceStatistics)
        Statistics(At + 8, At + Length - 4);
      At += Length;
    }
    for (auto &[Line, Index] : Pending)
      Out.Exchanges[Index].ReplyMissing = true;
    return std::move(Out);
  }

private:
  std::uint32_t Read32(std::size_t At, bool Swapped) const {
    std::uint32_t V;
    std::memcpy(&V, Data.data() + At, 4);
    return Swapped ? Swapped32(V) : V;
  }
  std::uint16_t Read16(std::size_t At) const {
    std::uint16_t V;
    std::memcpy(&V, Data.data() + At, 2);
    return Swap ? Swapped16(V) : V;
  }

  // A section header starts a new set of interfaces; false when it cannot be read.
  bool StartSection(std::size_t At) {
    if (Data.size() - At < 28) {
      Out.Truncated = true;
      return false;
    }
    const std::uint32_t Magic = Read32(At + 8, false);
    if (Magic == ByteOrderMagic)
      Swap = false;
    else if (Magic == Swapped32(ByteOrderMagic))
      Swap = true;
    else {
      Out.Damage = "a section header without the byte-order mark at byte " + std::to_string(At);
      return false;
    }
    Interfaces.clear();
    const std::uint32_t Length = Read32(At + 4, Swap);
    if (Out.Application.empty() && Length >= 28 && Length <= Data.size() - At)
      Options(At + 24, At + Length - 4,
              [&](std::uint16_t Code, std::size_t From, std::size_t N) {
                if (Code == OptShbUserAppl)
                  Out.Application.assign(Data, From, N);
              });
    return true;
  }

  template <typename F> void Options(std::size_t At, std::size_t End, F &&Each) {
    while (At + 4 <= End) {
      const std::uint16_t Code = Read16(At);
      const std::uint16_t N = Read16(At + 2);
      if (Code == OptEnd || At + 4 + N > End)
        return;
      Each(Code, At + 4, N);
      At += 4 + ((N + 3u) & ~3u);
    }
  }

  void Describe(std::size_t At, std::size_t End) {
    TInterface I;
    if (End - At < 8) {
      Interfaces.push_back(I);
      return;
    }
    I.LinkType = Read16(At);
    I.Line = static_cast<std::int32_t>(Interfaces.size()) + 1;
    std::string Device;
    Options(At + 8, End, [&](std::uint16_t Code, std::size_t From, std::size_t N) {
      const std::string Text(Data, From, N);
      if (Code == OptIfName && Text.rfind("line ", 0) == 0) {
        try {
          I.Line = std::stoi(Text.substr(5));
        } catch (const std::exception &) {
        }
      } else if (Code == OptIfDescription) {
        Device = Text;
      } else if (Code == OptComment && Text == ListenedComment) {
        I.Listened = true;
      } else if (Code == OptIfTsresol && N >= 1) {
        const auto R = static_cast<std::uint8_t>(Data[From]);
        const int Power = R & 0x7F;
        std::uint64_t Units = 1;
        for (int K = 0; K < Power && Units <= (std::uint64_t{1} << 60); ++K)
          Units *= (R & 0x80) ? 2 : 10;
        I.UnitsPerSecond = Units;
      }
    });
    Interfaces.push_back(I);
    if (I.LinkType == LinkTypeUser0 && (!Out.Devices.contains(I.Line) || !Device.empty()))
      Out.Devices[I.Line] = Device;
    if (I.LinkType == LinkTypeUser0 && I.Listened)
      Out.Listened.insert(I.Line);
  }

  // An interface statistics block: a line's error counts in its comment.
  void Statistics(std::size_t At, std::size_t End) {
    if (End - At < 12)
      return;
    const std::uint32_t Index = Read32(At, Swap);
    if (Index >= Interfaces.size() || Interfaces[Index].LinkType != LinkTypeUser0)
      return;
    const std::string Prefix = LineErrorsPrefix;
    Options(At + 12, End, [&](std::uint16_t Code, std::size_t From, std::size_t N) {
      const std::string Text(Data, From, N);
      std::optional<TLineErrors> Errors;
      if (Code == OptComment && Text.rfind(Prefix, 0) == 0 &&
          ParseLineErrors(Text.substr(Prefix.size()), Errors))
        Out.LineErrors[Interfaces[Index].Line] = Errors;
    });
  }

  void Packet(std::size_t At, std::size_t End) {
    if (End - At < 20) {
      ++Out.Skipped;
      return;
    }
    const std::uint32_t Index = Read32(At, Swap);
    const std::uint64_t Stamp =
        (std::uint64_t{Read32(At + 4, Swap)} << 32) | Read32(At + 8, Swap);
    const std::uint32_t Captured = Read32(At + 12, Swap);
    const std::size_t Payload = At + 20;
    if (Index >= Interfaces.size() || Interfaces[Index].LinkType != LinkTypeUser0 ||
        Captured < HeaderSize || Captured > End - Payload ||
        static_cast<std::uint8_t>(Data[Payload]) != HeaderVersion) {
      ++Out.Skipped;
      return;
    }
    const TInterface &I = Interfaces[Index];
    std::uint32_t Flags = 0;
    Options(Payload + ((Captured + 3u) & ~3u), End,
            [&](std::uint16_t Code, std::size_t From, std::size_t N) {
              if (Code == OptEpbFlags && N == 4)
                Flags = Read32(From, Swap);
            });
    const auto Byte = [&](std::size_t K) {
      return static_cast<std::uint8_t>(Data[Payload + K]);
    };
    // Little-endian in every file, whatever the section's byte order.
    const std::uint32_t Number = Byte(4) | (Byte(5) << 8) | (Byte(6) << 16) |
                                 (static_cast<std::uint32_t>(Byte(7)) << 24);
    const std::vector<std::uint8_t> Bytes(
        Data.begin() + static_cast<std::ptrdiff_t>(Payload + 8),
        Data.begin() + static_cast<std::ptrdiff_t>(Payload + Captured));
    const TClock::time_point When = TimeOf(Stamp, I.UnitsPerSecond);
    if (Byte(1) == LooseOutcome && Number == 0) {
      const auto Kind = static_cast<THeardKind>(Byte(2));
      Out.Loose.push_back(
          {I.Line, Kind == THeardKind::StrayReply ? Kind : THeardKind::Garbage, Bytes, When});
      return;
    }

    const std::uint32_t Direction = Flags & 3;
    const auto Open = Pending.find(I.Line);
    const bool Inbound =
        Direction == FlagInbound || (Direction == 0 && Open != Pending.end() &&
                                     Out.Exchanges[Open->second].Number == Number);
    if (Inbound) {
      if (Open == Pending.end() || Out.Exchanges[Open->second].Number != Number) {
        ++Out.Skipped; // a reply whose frame is not in the file
        return;
      }
      TCapturedExchange &E = Out.Exchanges[Open->second];
      E.Reply = Bytes;
      E.DoneAt = When;
      Pending.erase(Open);
      return;
    }
    if (Open != Pending.end()) {
      Out.Exchanges[Open->second].ReplyMissing = true;
      Pending.erase(Open);
    }
    TCapturedExchange E;
    E.Line = I.Line;
    E.Number = Number;
    E.Outcome =
        Byte(1) < OutcomeCount ? static_cast<TOutcome>(Byte(1)) : TOutcome::ChannelError;
    E.Result = Byte(2);
    E.ReplyLength = Byte(3);
    E.Frame = Bytes;
    E.SentAt = E.DoneAt = When;
    E.Listened = I.Listened;
    Pending[I.Line] = Out.Exchanges.size();
    Out.Exchanges.push_back(std::move(E));
  }

  const std::string &Data;
  bool Swap = false;
  std::vector<TInterface> Interfaces;
  std::map<std::int32_t, std::size_t> Pending; // line -> its exchange waiting for a reply
  TCaptureContents Out;
};

} // namespace

TCaptureContents ReadCaptureBytes(const std::string &Bytes) { return TParser(Bytes).Run(); }

TCaptureContents ReadCapture(const std::string &Path) {
  std::ifstream In(Path, std::ios::binary);
  if (!In)
    throw ECaptureError("cannot open " + Path + ": " + std::strerror(errno));
  std::ostringstream Buffer;
  Buffer << In.rdbuf();
  try {
    return ReadCaptureBytes(Buffer.str());
  } catch (const ECaptureError &Error) {
    throw ECaptureError(Path + ": " + Error.what());
  }
}

} // namespace de30::capture
