#include "transport.hpp"

#include "channels/serial_channel.hpp"
#include "channels/tcp_channel.hpp"
#include "exit_codes.hpp"
#include "sim/sim_channel.hpp"
#include "trace.hpp"

#include <algorithm>
#include <map>

namespace de30::ctl {
namespace {

// "LINE=REST": the line number and the rest.
std::pair<int, std::string> SplitLine(const std::string &Text, const char *Option) {
  const auto Equals = Text.find('=');
  if (Equals == std::string::npos || Equals + 1 == Text.size())
    throw ECtlError(ExitUsage, std::string(Option) + " '" + Text + "': write LINE=" +
                                   (std::string(Option) == "--tcp" ? "HOST:PORT" : "DEVICE"));
  const int Line = ParseWhole(Text.substr(0, Equals), "line", 1, 32, ExitUnknown);
  return {Line, Text.substr(Equals + 1)};
}

} // namespace

std::vector<sim::TPumpPlace> DefaultStation(bool AutoCustomers) {
  std::vector<sim::TPumpPlace> Places = {{1, {}}, {1, {}}, {2, {}}};
  Places[0].Pump.Address = 1;
  Places[0].Pump.Nozzles = 1;
  Places[1].Pump.Address = 2;
  Places[1].Pump.Nozzles = 2;
  Places[2].Pump.Address = 3;
  Places[2].Pump.Nozzles = 4;
  Places[2].Pump.FlowRate = 70;
  for (auto &P : Places) {
    P.Pump.AutoCustomer = AutoCustomers;
    // Customers arrive at different times.
    P.Pump.IdleMs = 3000 + 2000 * P.Pump.Address;
  }
  return Places;
}

TTransport::TTransport(const TTransportOptions &Options, bool ManualClock, bool AutoCustomers) {
  if (Options.Serial.empty() && Options.Tcp.empty()) {
    if (ManualClock) {
      auto Manual = std::make_unique<sim::TManualClock>();
      ManualTime = Manual.get();
      Clock = std::move(Manual);
    } else {
      Clock = std::make_unique<sim::TSteadyClock>();
    }
    Station = std::make_unique<sim::TSimStation>(*Clock);
    for (const auto &Place : DefaultStation(AutoCustomers)) {
      Station->AddPump(Place.Line, Place.Pump);
      if (Where.empty() || Where.back().first != Place.Line)
        Where.emplace_back(Place.Line, "embedded station");
    }
    LineChannel = std::make_unique<sim::TSimChannel>(*Station);
  } else if (!Options.Serial.empty() && !Options.Tcp.empty()) {
    throw ECtlError(ExitUsage, "give either --serial or --tcp lines, not both");
  } else if (!Options.Serial.empty()) {
    std::map<std::int32_t, std::string> Devices;
    for (const auto &Text : Options.Serial) {
      auto [Line, Device] = SplitLine(Text, "--serial");
      if (!Devices.emplace(Line, Device).second)
        throw ECtlError(ExitUsage, "line " + std::to_string(Line) + " is given twice");
      Where.emplace_back(Line, Device);
    }
    LineChannel = std::make_unique<channels::TSerialChannel>(Devices);
  } else {
    std::map<std::int32_t, channels::TEndpoint> Endpoints;
    for (const auto &Text : Options.Tcp) {
      auto [Line, Address] = SplitLine(Text, "--tcp");
      const auto Colon = Address.rfind(':');
      if (Colon == std::string::npos || Colon == 0)
        throw ECtlError(ExitUsage, "--tcp '" + Text + "': write LINE=HOST:PORT");
      const int Port = ParseWhole(Address.substr(Colon + 1), "port", 1, 65535, ExitUsage);
      if (!Endpoints
               .emplace(Line, channels::TEndpoint{Address.substr(0, Colon),
                                                  static_cast<std::uint16_t>(Port)})
               .second)
        throw ECtlError(ExitUsage, "line " + std::to_string(Line) + " is given twice");
      Where.emplace_back(Line, Address);
    }
    LineChannel = std::make_unique<channels::TTcpChannel>(Endpoints);
  }
  std::sort(Where.begin(), Where.end());
  if (Options.TimeoutMs > 0)
    LineChannel->SetReplyTimeout(std::chrono::milliseconds(Options.TimeoutMs));
  LineChannel->SetTracer([this, Trace = Options.Trace](const channels::TTraceRecord &R) {
    if (Trace)
      PrintTrace(stdout, R);
    if (R.Result != 0)
      Failure = "line " + std::to_string(R.Line) + ": " + channels::ErrorText(R.Result) +
                " (channel error " + std::to_string(R.Result) + ")";
  });
}

TTransport::~TTransport() = default;

TComChannel &TTransport::Channel() { return *LineChannel; }

void TTransport::Require(const TPumpRef &Pump) const {
  const bool LineKnown = std::any_of(Where.begin(), Where.end(),
                                     [&](const auto &W) { return W.first == Pump.Line; });
  if (!LineKnown)
    throw ECtlError(ExitUnknown, "line " + std::to_string(Pump.Line) +
                                     (Embedded() ? " is not on the embedded station"
                                                 : " is not given with --serial or --tcp"));
  if (Embedded() && !Station->HasPump(Pump.Line, Pump.Pump))
    throw ECtlError(ExitUnknown, "line " + std::to_string(Pump.Line) + " has no pump " +
                                     std::to_string(Pump.Pump) + " on the embedded station");
}

int TTransport::Nozzles(const TPumpRef &Pump, int Given) const {
  if (!Embedded())
    return Given > 0 ? Given : 1;
  for (const auto &Place : Station->Pumps())
    if (Place.Line == Pump.Line && Place.Pump.Address == Pump.Pump)
      return Place.Pump.Nozzles;
  return 1;
}

std::vector<TPumpRef> TTransport::Pumps() const {
  std::vector<TPumpRef> Result;
  if (Embedded())
    for (const auto &Place : Station->Pumps())
      Result.push_back({Place.Line, Place.Pump.Address});
  return Result;
}

std::vector<int> TTransport::Lines() const {
  std::vector<int> Result;
  for (const auto &W : Where)
    Result.push_back(W.first);
  return Result;
}

void TTransport::InitLines(TVM30 &Driver) const {
  for (const auto &[Line, Target] : Where) {
    const std::int32_t Error = Driver.InitLine(Line);
    if (Error != 0)
      throw ECtlError(ExitCannotOpen, "line " + std::to_string(Line) + " (" + Target +
                                          "): " + channels::ErrorText(Error));
  }
}

TPauser *TTransport::Pauser() {
  if (ManualTime != nullptr && ClockPauser == nullptr)
    ClockPauser = std::make_unique<sim::TClockPauser>(*ManualTime);
  return ClockPauser.get();
}

} // namespace de30::ctl
