#pragma once
// The driver's failures. Every one derives from std::exception; the driver raises
// them and never catches them itself (Exchange excepted, see link/exchange.hpp).
// Each keeps its cause: the C++ host reads it from the accessors, while what()
// stays the fixed text the Windows interface hands its hosts.

#include <cstdint>
#include <exception>

namespace de30 {

// A failed exchange with a pump. what() is its fixed message (UTF-8), one per
// operation; the texts are listed in messages.hpp. Line and ChannelError tell
// where and why: the channel's error number is what Transact returned, or what
// LastError gave when the channel threw.
class ESerialIO : public std::exception {
public:
  explicit ESerialIO(const char *Message, std::int32_t Line = 0, std::int32_t ChannelError = 0,
                     bool Absorbed = false) noexcept
      : Text(Message), OnLine(Line), Error(ChannelError), FromLastError(Absorbed) {}
  const char *what() const noexcept override { return Text; }
  std::int32_t Line() const noexcept { return OnLine; }
  std::int32_t ChannelError() const noexcept { return Error; }
  // True when the channel threw and ChannelError came from LastError.
  bool Absorbed() const noexcept { return FromLastError; }

private:
  const char *Text; // always one of the static message texts
  std::int32_t OnLine;
  std::int32_t Error;
  bool FromLastError;
};

// An index outside its declared range (line or pump outside 1..32, grade outside
// 1..6, a lead byte above 255, a nozzle position beyond the record) or a value that
// does not fit its place on the wire. Raised before the offending step runs.
// Argument names what was out of range ("Pump", "Line", "Grade", "price", ...),
// Value what it was and Min..Max the range it must lie in; Detail() says it in
// one line. A range error raised without a cause has an empty Argument.
class ERangeError : public std::exception {
public:
  ERangeError() noexcept = default;
  ERangeError(const char *Argument, std::int64_t Value, std::int64_t Min,
              std::int64_t Max) noexcept;
  const char *what() const noexcept override { return "Range check error"; }
  const char *Argument() const noexcept { return Name; }
  std::int64_t Value() const noexcept { return Was; }
  std::int64_t Min() const noexcept { return Low; }
  std::int64_t Max() const noexcept { return High; }
  // "Pump 33 outside 1..32"; "Range check error" without a cause.
  const char *Detail() const noexcept { return Line; }

private:
  const char *Name = "";
  std::int64_t Was = 0;
  std::int64_t Low = 0;
  std::int64_t High = 0;
  char Line[96] = "Range check error";
};

// Raised by interface position 0, which has no operation behind it.
class EAbstractError : public std::exception {
public:
  const char *what() const noexcept override { return "Abstract error"; }
};

// An exchange or line set-up on a driver created without a channel.
class ENoChannel : public std::exception {
public:
  const char *what() const noexcept override { return "No channel"; }
};

} // namespace de30
