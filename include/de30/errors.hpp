#pragma once
// The driver's failures. Every one derives from std::exception; the driver raises
// them and never catches them itself (Exchange excepted, see link/exchange.hpp).

#include <exception>

namespace de30 {

// A failed exchange with a pump. Carries only its fixed message (UTF-8), one per
// operation; the texts are listed in messages.hpp.
class ESerialIO : public std::exception {
public:
  explicit ESerialIO(const char *Message) noexcept : Text(Message) {}
  const char *what() const noexcept override { return Text; }

private:
  const char *Text; // always one of the static message texts
};

// An index outside its declared range (line or pump outside 1..32, grade outside
// 1..6, a lead byte above 255, a nozzle position beyond the record) or a value that
// does not fit its place on the wire. Raised before the offending step runs.
class ERangeError : public std::exception {
public:
  const char *what() const noexcept override { return "Range check error"; }
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
