#pragma once
// Where de30ctl's lines lead: the embedded simulated station by default, or real
// serial lines and serial device servers given on the command line, mixed as the
// lines need. Every exchange is recorded, so that a command can tell which of
// its replies the reply check rejected.

#include "capture/writer.hpp"
#include "channels/line_channel.hpp"
#include "channels/serial_channel.hpp"
#include "de30/driver.hpp"
#include "names.hpp"
#include "sim/station.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace de30::ctl {

struct TTransportOptions {
  std::vector<std::string> Serial; // LINE=DEVICE
  std::vector<std::string> Tcp;    // LINE=HOST:PORT
  bool Trace = false;
  std::string Capture; // a pcapng file of every exchange, when given
  int TimeoutMs = 0;   // 0: the line set-up's own timeout
  // How the embedded station's pumps lay out their totals.
  sim::TTotalsLayout Totals = sim::TTotalsLayout::Sum;
};

class TTransport {
public:
  // ManualClock: the embedded station's time moves only when the caller (or the
  // driver's pauses) moves it. AutoCustomers: simulated customers use the pumps.
  TTransport(const TTransportOptions &Options, bool ManualClock, bool AutoCustomers);
  ~TTransport();

  TComChannel &Channel();
  bool Embedded() const { return Station != nullptr; }
  sim::TSimStation *Simulated() { return Station.get(); }
  sim::TManualClock *Manual() { return ManualTime; }

  // ECtlError(ExitUnknown) for a pump the station lacks or a line not configured.
  void Require(const TPumpRef &Pump) const;
  // The pump's nozzle count: the station's own, or Given (1 when 0) on real lines.
  int Nozzles(const TPumpRef &Pump, int Given) const;
  // Every pump of the embedded station.
  std::vector<TPumpRef> Pumps() const;
  // Runs InitLine for every line (only for Line when given); ECtlError(ExitCannotOpen)
  // naming the line that cannot be opened and why.
  void InitLines(TVM30 &Driver, int Line = 0) const;
  // What the driver's pauses should go to: the manual clock when there is one
  // (null: let them sleep).
  TPauser *Pauser();

  // The exchanges since the last ForgetExchanges, in order.
  const std::vector<channels::TTraceRecord> &Exchanges() const { return Recorded; }
  void ForgetExchanges() { Recorded.clear(); }
  // The channel's own words on the line's last error, with the reason when the
  // line could not be opened.
  std::string LineError(int Line) const;
  // The channel's last error number on the line.
  std::int32_t LastError(int Line) const;

private:
  std::unique_ptr<sim::TSimClock> Clock;
  sim::TManualClock *ManualTime = nullptr;
  std::unique_ptr<sim::TSimStation> Station;
  std::unique_ptr<channels::TLineChannel> LineChannel;
  std::vector<std::pair<int, std::string>> Where; // line and what it leads to
  std::unique_ptr<TPauser> ClockPauser;
  std::vector<channels::TTraceRecord> Recorded;
  std::unique_ptr<capture::TCaptureWriter> Capture;
  // The serial lines' error counts when the transport began, for the capture
  // (none: the device keeps none); the TCP lines have none to give.
  struct TCounted {
    int Line = 0;
    std::string Device; // empty for a TCP line
    std::optional<channels::TSerialCounters> First;
  };
  std::vector<TCounted> Counted;
  capture::TClock::time_point Began = capture::TClock::now();
};

} // namespace de30::ctl
