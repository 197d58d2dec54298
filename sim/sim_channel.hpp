#pragma once
// A channel whose lines lead to an in-process simulated station: the embedded
// default of de30ctl and the station of the tests. No port, no thread, no waiting:
// a reply the pump sends later than the timeout counts as missing at once and is
// dropped. Given a baud rate, each line takes a real line's time instead: every
// byte both ways its ten bit times, a late reply its delay, a missing one the
// whole timeout (de30d's simulated station, whose line figures must be a line's).

#include "channels/line_channel.hpp"
#include "sim/station.hpp"

namespace de30::sim {

class TSimChannel final : public channels::TLineChannel {
public:
  explicit TSimChannel(TSimStation &Served, int BaudRate = 0)
      : Station(Served), Baud(BaudRate) {}

protected:
  std::unique_ptr<channels::TLink> Open(std::int32_t Line, std::int32_t BaudRate,
                                        std::int32_t &Error) override;

private:
  TSimStation &Station;
  int Baud;
};

} // namespace de30::sim
