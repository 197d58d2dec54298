#include "station/sale.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace de30::station {

const char *SaleStateName(TSaleState State) {
  switch (State) {
  case TSaleState::Open:
    return "open";
  case TSaleState::Payable:
    return "payable";
  case TSaleState::Locked:
    return "locked";
  case TSaleState::Cleared:
    return "cleared";
  }
  return "unknown";
}

std::optional<TSaleState> ParseSaleState(const std::string &Name) {
  for (const auto State :
       {TSaleState::Open, TSaleState::Payable, TSaleState::Locked, TSaleState::Cleared})
    if (Name == SaleStateName(State))
      return State;
  return std::nullopt;
}

std::string TSale::PumpId() const { return std::to_string(Line) + ":" + std::to_string(Pump); }

bool TSale::HasFlag(const char *Flag) const {
  return std::any_of(Flags.begin(), Flags.end(),
                     [Flag](const std::string &Raised) { return Raised == Flag; });
}

double RefundOf(double Prepaid, double Amount) {
  const double Short = std::round((Prepaid - Amount) * 100.0) / 100.0;
  return Prepaid > 0.0 && Short > 0.0 ? Short : 0.0;
}

std::string IsoTime(std::int64_t EpochMs) {
  using namespace std::chrono;
  const sys_time<milliseconds> At{milliseconds(EpochMs)};
  const auto Day = floor<days>(At);
  const year_month_day Date{Day};
  const hh_mm_ss Time{At - Day};
  char Text[40];
  std::snprintf(Text, sizeof Text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(Date.year()),
                unsigned(Date.month()), unsigned(Date.day()), int(Time.hours().count()),
                int(Time.minutes().count()), int(Time.seconds().count()),
                int(Time.subseconds().count()));
  return Text;
}

std::int64_t NowEpochMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace de30::station
