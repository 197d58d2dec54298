#pragma once
// A channel whose lines lead to an in-process simulated station: the embedded
// default of de30ctl and the station of the tests. No port, no thread, no waiting:
// a reply the pump sends later than the timeout counts as missing at once and is
// dropped.

#include "channels/line_channel.hpp"
#include "sim/station.hpp"

namespace de30::sim {

class TSimChannel final : public channels::TLineChannel {
public:
  explicit TSimChannel(TSimStation &Served) : Station(Served) {}

protected:
  std::unique_ptr<channels::TLink> Open(std::int32_t Line, std::int32_t BaudRate,
                                        std::int32_t &Error) override;

private:
  TSimStation &Station;
};

} // namespace de30::sim
