#include "metrics.hpp"

#include "exposition.hpp"
#include "uplink.hpp"

#include <array>
#include <map>

namespace de30::service {
namespace {

using TType = TExposition::TType;

constexpr std::array AllPointStates{
    station::TPointState::Offline,  station::TPointState::Idle,
    station::TPointState::Calling,  station::TPointState::Authorised,
    station::TPointState::Fuelling, station::TPointState::Completed,
    station::TPointState::Locked,   station::TPointState::Error};

std::string Number(int Value) { return std::to_string(Value); }

void LineMetrics(TExposition &Out, const std::vector<station::TLineSnapshot> &Lines) {
  Out.Family("de30_line_cycle_duration_seconds", TType::Histogram,
             "Time of each full status cycle of the line: every pump polled once.");
  for (const auto &Line : Lines)
    Out.Histogram({{"line", Number(Line.Line)}}, station::CycleBucketsSeconds,
                  Line.CycleTimes.AtMost, Line.CycleTimes.Count, Line.CycleTimes.SumSeconds);
  Out.Family("de30_line_polls_total", TType::Counter,
             "Exchanges with the pumps of the line, of every kind.");
  for (const auto &Line : Lines)
    Out.Sample({{"line", Number(Line.Line)}}, Line.Polls);
  Out.Family("de30_line_timeouts_total", TType::Counter,
             "Exchanges of the line without a complete reply (channel errors 4 and 5).");
  for (const auto &Line : Lines)
    Out.Sample({{"line", Number(Line.Line)}}, Line.Timeouts);
  Out.Family("de30_line_rejected_replies_total", TType::Counter,
             "Replies of the line that the reply check refused; nothing in them was used.");
  for (const auto &Line : Lines)
    Out.Sample({{"line", Number(Line.Line)}}, Line.Rejected);
  Out.Family("de30_line_channel_errors_total", TType::Counter,
             "Failed exchanges of the line by the channel's error number (docs/channels.md); "
             "error=\"exception\" for a channel that raised instead.");
  for (const auto &Line : Lines) {
    std::uint64_t Numbered = 0;
    for (const auto &[Error, Count] : Line.ErrorsByNumber) {
      Out.Sample({{"line", Number(Line.Line)}, {"error", Number(Error)}}, Count);
      Numbered += Count;
    }
    if (Line.ChannelErrors > Numbered)
      Out.Sample({{"line", Number(Line.Line)}, {"error", "exception"}},
                 Line.ChannelErrors - Numbered);
  }
  Out.Family("de30_line_serial_errors_total", TType::Counter,
             "Errors the kernel counted on the line's serial port since de30d opened it: "
             "framing, parity, overrun and break; absent where the device keeps no counts.");
  for (const auto &Line : Lines) {
    if (!Line.LineErrors)
      continue;
    const std::pair<const char *, std::uint64_t> Kinds[] = {
        {"framing", Line.LineErrors->Framing},
        {"parity", Line.LineErrors->Parity},
        {"overrun", Line.LineErrors->Overrun},
        {"break", Line.LineErrors->Break}};
    for (const auto &[Kind, Count] : Kinds)
      Out.Sample({{"line", Number(Line.Line)}, {"kind", Kind}}, Count);
  }
  Out.Family("de30_line_tap", TType::Gauge,
             "1 for a tap line (listened to, never driven by de30d), 0 for a driven one.");
  for (const auto &Line : Lines)
    Out.Sample({{"line", Number(Line.Line)}}, Line.Tap ? 1.0 : 0.0);
  Out.Family("de30_line_heard_bytes_total", TType::Counter,
             "Bytes a tap line heard, and of them those in no exchange: kind=\"garbage\" "
             "(in no frame and no reply) and kind=\"stray_reply\" (a reply whose frame was "
             "not heard); they are counted, never read.");
  for (const auto &Line : Lines) {
    if (!Line.Tap)
      continue;
    Out.Sample({{"line", Number(Line.Line)}, {"kind", "all"}}, Line.Heard.Bytes);
    Out.Sample({{"line", Number(Line.Line)}, {"kind", "garbage"}}, Line.Heard.GarbageBytes);
    Out.Sample({{"line", Number(Line.Line)}, {"kind", "stray_reply"}}, Line.Heard.StrayBytes);
  }
}

void PumpMetrics(TExposition &Out, const std::vector<station::TPumpSnapshot> &Pumps) {
  Out.Family("de30_pump_state", TType::Gauge,
             "1 for the state the fuelling point is in, 0 for each other state.");
  for (const auto &Pump : Pumps)
    for (const auto State : AllPointStates)
      Out.Sample({{"line", Number(Pump.Line)},
                  {"pump", Number(Pump.Pump)},
                  {"state", station::PointStateName(State)}},
                 Pump.State == State ? 1.0 : 0.0);
  Out.Family("de30_pump_last_status_code", TType::Gauge,
             "The driver's last host status code for the pump (docs/status-codes.md).");
  for (const auto &Pump : Pumps)
    Out.Sample({{"line", Number(Pump.Line)}, {"pump", Number(Pump.Pump)}},
               static_cast<std::uint64_t>(Pump.LastCode));
  Out.Family("de30_pump_observed", TType::Gauge,
             "1 for a pump on a tap line, followed from another controller's exchanges; 0 "
             "for a pump de30d drives.");
  for (const auto &Pump : Pumps)
    Out.Sample({{"line", Number(Pump.Line)}, {"pump", Number(Pump.Pump)}},
               Pump.Observed ? 1.0 : 0.0);
}

void JournalMetrics(TExposition &Out, station::TJournal &Journal) {
  const auto Health = Journal.Health().State();
  Out.Family("de30_journal_failing", TType::Gauge,
             "1 while the journal refuses writes (locked by another program, disk full); "
             "sales then wait in memory and commands that need it are refused.");
  Out.Sample({}, Health.Failing ? 1.0 : 0.0);
  Out.Family("de30_journal_failures_total", TType::Counter,
             "Journal steps that failed since de30d started.");
  Out.Sample({}, Health.Failures);
  // A journal that cannot be read leaves out what it would have told.
  std::map<station::TSaleState, std::int64_t> Counts;
  std::int64_t Size = 0;
  try {
    Counts = Journal.CountByState();
    Size = Journal.SizeBytes();
  } catch (const station::EJournalError &) {
    return;
  }
  Out.Family("de30_journal_sales", TType::Gauge,
             "Sales in the journal by state; their sum only grows (a sale is never removed).");
  for (const auto &[State, Count] : Counts)
    Out.Sample({{"state", station::SaleStateName(State)}}, static_cast<std::uint64_t>(Count));
  Out.Family("de30_journal_size_bytes", TType::Gauge,
             "Size of the journal's database file and its write-ahead log.");
  Out.Sample({}, static_cast<std::uint64_t>(Size));
}

void UplinkMetrics(TExposition &Out, station::TJournal &Journal, const TUplink &Uplink) {
  const auto Status = Uplink.Status();
  Out.Family("de30_uplink_connected", TType::Gauge,
             "1 while the head-office broker has accepted the connection, else 0.");
  Out.Sample({}, Status.Connected ? 1.0 : 0.0);
  Out.Family("de30_uplink_backlog_sales", TType::Gauge,
             "Closed sales not acknowledged yet; they wait in the journal.");
  Out.Sample({}, static_cast<std::uint64_t>(Journal.UploadBacklogCount()));
  Out.Family("de30_uplink_backlog_shifts", TType::Gauge,
             "Closed shifts not acknowledged yet; they wait in the journal.");
  Out.Sample({}, static_cast<std::uint64_t>(Journal.ShiftBacklogCount()));
  Out.Family("de30_uplink_delivered_sales_total", TType::Counter,
             "Sales acknowledged (by the office, or the broker) since de30d started.");
  Out.Sample({}, Status.Acknowledged);
  Out.Family("de30_uplink_connections_total", TType::Counter,
             "Connections the broker accepted since de30d started.");
  Out.Sample({}, Status.Connections);
  Out.Family("de30_uplink_resent_sales_total", TType::Counter,
             "Sales sent again since de30d started: the office had not acknowledged them.");
  Out.Sample({}, Status.Resent);
  Out.Family("de30_uplink_fault", TType::Gauge,
             "1 for why the uplink is not connected: the broker unreachable, its TLS "
             "certificate refused, the credentials refused, or another refusal.");
  for (const auto Fault : {TUplinkFault::Unreachable, TUplinkFault::Tls,
                           TUplinkFault::Credentials, TUplinkFault::Refused})
    Out.Sample({{"kind", UplinkFaultName(Fault)}}, Status.Fault == Fault ? 1.0 : 0.0);
}

} // namespace

std::string StationMetrics(station::TStation &Station, const TUplink *Uplink) {
  TExposition Out;
  Out.Family("de30_build_info", TType::Gauge, "The running de30d's version, always 1.");
  Out.Sample({{"version", DE30_VERSION}}, 1.0);
  Out.Family("de30_station_info", TType::Gauge, "The station's id, always 1.");
  Out.Sample({{"station", Station.Config().StationId}}, 1.0);
  LineMetrics(Out, Station.Lines());
  PumpMetrics(Out, Station.Pumps());
  JournalMetrics(Out, Station.Journal());
  if (Uplink != nullptr)
    UplinkMetrics(Out, Station.Journal(), *Uplink);
  return Out.Text();
}

} // namespace de30::service
