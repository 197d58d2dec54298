#include "transport.hpp"

#include "channels/serial_channel.hpp"
#include "channels/tcp_channel.hpp"
#include "exit_codes.hpp"
#include "sim/sim_channel.hpp"
#include "trace.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <variant>

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

// Real lines, each on a serial device or a serial device server.
class TRealLines final : public channels::TLineChannel {
public:
  std::map<std::int32_t, std::variant<std::string, channels::TEndpoint>> Targets;

protected:
  std::unique_ptr<channels::TLink> Open(std::int32_t Line, std::int32_t BaudRate,
                                        std::int32_t &Error) override {
    const auto Target = Targets.find(Line);
    if (Target == Targets.end()) {
      Error = channels::ErrNoSuchLine;
      return nullptr;
    }
    std::string Reason;
    auto Link =
        std::holds_alternative<std::string>(Target->second)
            ? channels::OpenSerialLink(std::get<std::string>(Target->second), BaudRate, Reason)
            : channels::OpenTcpLink(std::get<channels::TEndpoint>(Target->second), Reason);
    if (!Link) {
      Error = channels::ErrOpenFailed;
      Explain(Line, Reason);
    }
    return Link;
  }
};

} // namespace

TTransport::TTransport(const TTransportOptions &Options, bool ManualClock, bool AutoCustomers) {
  std::map<int, std::string> Devices; // what a capture says a TCP line runs on
  if (Options.Serial.empty() && Options.Tcp.empty()) {
    if (ManualClock) {
      auto Manual = std::make_unique<sim::TManualClock>();
      ManualTime = Manual.get();
      Clock = std::move(Manual);
    } else {
      Clock = std::make_unique<sim::TSteadyClock>();
    }
    Station = std::make_unique<sim::TSimStation>(*Clock);
    for (sim::TPumpPlace Place : sim::DefaultStation(AutoCustomers)) {
      Place.Pump.Totals = Options.Totals;
      Station->AddPump(Place.Line, Place.Pump);
      if (Where.empty() || Where.back().first != Place.Line)
        Where.emplace_back(Place.Line, "embedded station");
    }
    LineChannel = std::make_unique<sim::TSimChannel>(*Station);
  } else {
    auto Lines = std::make_unique<TRealLines>();
    for (const auto &Text : Options.Serial) {
      auto [Line, Device] = SplitLine(Text, "--serial");
      if (!Lines->Targets.emplace(Line, Device).second)
        throw ECtlError(ExitUsage, "line " + std::to_string(Line) + " is given twice");
      Where.emplace_back(Line, Device);
    }
    for (const auto &Text : Options.Tcp) {
      auto [Line, Address] = SplitLine(Text, "--tcp");
      const auto Colon = Address.rfind(':');
      if (Colon == std::string::npos || Colon == 0)
        throw ECtlError(ExitUsage, "--tcp '" + Text + "': write LINE=HOST:PORT");
      const int Port = ParseWhole(Address.substr(Colon + 1), "port", 1, 65535, ExitUsage);
      if (!Lines->Targets
               .emplace(Line, channels::TEndpoint{Address.substr(0, Colon),
                                                  static_cast<std::uint16_t>(Port)})
               .second)
        throw ECtlError(ExitUsage, "line " + std::to_string(Line) + " is given twice");
      Where.emplace_back(Line, Address);
      Devices[Line] = "tcp " + Address;
    }
    LineChannel = std::move(Lines);
  }
  std::sort(Where.begin(), Where.end());
  if (Options.TimeoutMs > 0)
    LineChannel->SetReplyTimeout(std::chrono::milliseconds(Options.TimeoutMs));
  if (!Options.Capture.empty()) {
    try {
      Capture = std::make_unique<capture::TCaptureWriter>(
          capture::TCaptureOptions{Options.Capture, 0, 1, "de30ctl " DE30_VERSION});
    } catch (const capture::ECaptureError &Error) {
      throw ECtlError(ExitCannotOpen, Error.what());
    }
    for (const auto &[Line, Device] : Where)
      Capture->DescribeLine(Line, Devices.contains(Line) ? Devices[Line] : Device);
    // Counted from before the driver opens the ports, so that the first
    // exchange's errors count too.
    if (!Station)
      for (const auto &[Line, Device] : Where) {
        TCounted C{Line, Devices.contains(Line) ? std::string() : Device, std::nullopt};
        if (!C.Device.empty())
          C.First = channels::DeviceCounters(C.Device);
        Counted.push_back(std::move(C));
      }
  }
  LineChannel->SetTracer([this, Trace = Options.Trace](const channels::TTraceRecord &R) {
    if (Trace)
      PrintTrace(stdout, R);
    if (Capture)
      Capture->Write(R);
    Recorded.push_back(R);
  });
}

TTransport::~TTransport() {
  if (!Capture)
    return;
  // The ports are still open here: the line errors of the run go into the capture.
  const auto Now = capture::TClock::now();
  for (const TCounted &C : Counted) {
    std::optional<capture::TLineErrors> Errors;
    const auto Last = C.Device.empty() ? std::nullopt : channels::DeviceCounters(C.Device);
    if (C.First && Last) {
      const auto Since = channels::CountedSince(*C.First, *Last);
      Errors = capture::TLineErrors{Since.Framing, Since.Parity, Since.Overrun, Since.Break};
    }
    Capture->WriteLineErrors(C.Line, Began, Now, Errors);
  }
  const std::string Failure = Capture->Failure();
  if (!Failure.empty())
    std::fprintf(stderr, "de30ctl: warning: the capture stopped: %s\n", Failure.c_str());
  else
    std::fprintf(stderr, "de30ctl: %llu exchange%s captured in %s\n",
                 static_cast<unsigned long long>(Capture->Exchanges()),
                 Capture->Exchanges() == 1 ? "" : "s", Capture->Path().c_str());
}

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
  if (Given > 0)
    return Given;
  if (!Embedded())
    return 1;
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

std::string TTransport::LineError(int Line) const { return LineChannel->LastErrorText(Line); }

std::int32_t TTransport::LastError(int Line) const { return LineChannel->LastError(Line); }

void TTransport::InitLines(TVM30 &Driver, int Only) const {
  for (const auto &[Line, Target] : Where) {
    if (Only != 0 && Line != Only)
      continue;
    const std::int32_t Error = Driver.InitLine(Line);
    if (Error != 0)
      throw ECtlError(ExitCannotOpen, "line " + std::to_string(Line) + " (" + Target + "): " +
                                          (LineChannel->LastError(Line) == Error
                                               ? LineChannel->LastErrorText(Line)
                                               : channels::ErrorText(Error)));
  }
}

TPauser *TTransport::Pauser() {
  if (ManualTime != nullptr && ClockPauser == nullptr)
    ClockPauser = std::make_unique<sim::TClockPauser>(*ManualTime);
  return ClockPauser.get();
}

} // namespace de30::ctl
