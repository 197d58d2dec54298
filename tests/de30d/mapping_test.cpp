// The station's objects under the interface's fixed names, and the status table.
#include "api_error.hpp"
#include "event_stream.hpp"
#include "json_mapping.hpp"

#include <gtest/gtest.h>

namespace {

using namespace de30;
using namespace de30::service;
using station::TSaleState;

station::TSale PayableSale() {
  station::TSale Sale;
  Sale.Id = 17;
  Sale.Line = 1;
  Sale.Pump = 3;
  Sale.Nozzle = 1;
  Sale.Grade = 2;
  Sale.Price = 45.5;
  Sale.Preset = {station::TPreset::TKind::Litres, 10.0};
  Sale.Volume = 10.0;
  Sale.Amount = 455.0;
  Sale.StartTotals = {true, 1000.0, 45500.0};
  Sale.EndTotals = {true, 1010.0, 45955.0};
  Sale.StartedMs = 1796770209123; // 2026-12-08T22:50:09.123Z
  Sale.EndedMs = 1796770269000;
  Sale.State = TSaleState::Payable;
  return Sale;
}

TEST(Mapping, APayableSaleCarriesEveryFixedName) {
  const TJson J = SaleJson(PayableSale());
  EXPECT_EQ(J["id"], 17);
  EXPECT_EQ(J["pump"], "1:3");
  EXPECT_EQ(J["nozzle"], 1);
  EXPECT_EQ(J["grade"], 2);
  EXPECT_DOUBLE_EQ(J["price"].get<double>(), 45.5);
  EXPECT_EQ(J["preset"], TJson({{"litres", 10.0}}));
  EXPECT_DOUBLE_EQ(J["volume"].get<double>(), 10.0);
  EXPECT_DOUBLE_EQ(J["amount"].get<double>(), 455.0);
  EXPECT_EQ(J["start_totals"], TJson({{"volume", 1000.0}, {"amount", 45500.0}}));
  EXPECT_EQ(J["end_totals"], TJson({{"volume", 1010.0}, {"amount", 45955.0}}));
  EXPECT_EQ(J["state"], "payable");
  EXPECT_TRUE(J["locked_by"].is_null());
  EXPECT_EQ(J["started"], "2026-12-08T22:50:09.123Z");
  EXPECT_EQ(J["ended"], "2026-12-08T22:51:09.000Z");
  EXPECT_EQ(J["flags"], TJson::array());
  EXPECT_EQ(J["observed"], false);
  station::TSale Heard = PayableSale();
  Heard.Observed = true;
  EXPECT_EQ(SaleJson(Heard)["observed"], true);
}

TEST(Mapping, AnOpenSaleHasNoEndAndUnknownTotalsAreNull) {
  station::TSale Sale = PayableSale();
  Sale.State = TSaleState::Open;
  // Whatever the struct holds, an open sale has not ended.
  Sale.StartTotals.Known = false;
  const TJson J = SaleJson(Sale);
  EXPECT_EQ(J["state"], "open");
  EXPECT_TRUE(J["ended"].is_null());
  EXPECT_TRUE(J["end_totals"].is_null());
  EXPECT_TRUE(J["start_totals"].is_null());

  Sale.State = TSaleState::Payable;
  Sale.EndTotals.Known = false;
  Sale.Flags = {station::FlagNoTotals};
  const TJson Closed = SaleJson(Sale);
  EXPECT_TRUE(Closed["end_totals"].is_null());
  EXPECT_EQ(Closed["flags"], TJson({"no_totals"}));
}

TEST(Mapping, PresetsLockAndStatesUseTheirNames) {
  EXPECT_TRUE(PresetJson({}).is_null());
  EXPECT_EQ(PresetJson({station::TPreset::TKind::Money, 500.0}), TJson({{"money", 500.0}}));
  station::TSale Sale = PayableSale();
  Sale.State = TSaleState::Locked;
  Sale.LockedBy = "pos-2";
  EXPECT_EQ(SaleJson(Sale)["locked_by"], "pos-2");
  EXPECT_EQ(SaleJson(Sale)["state"], "locked");
  Sale.State = TSaleState::Cleared;
  EXPECT_EQ(SaleJson(Sale)["state"], "cleared");
}

TEST(Mapping, APumpCarriesEveryFixedNameWithoutBinaryNoise) {
  station::TPumpSnapshot P;
  P.Line = 2;
  P.Pump = 3;
  P.State = station::TPointState::Fuelling;
  P.Nozzle = 2;
  P.Grade = 4;
  P.NozzleCount = 4;
  P.Volume = 0.1 + 0.2; // 0.30000000000000004
  P.Amount = 14.97;
  P.PriceState = station::TPriceState::Sent;
  P.Prices = {45.5, 47.2};
  P.SaleId = 9;
  const TJson J = PumpJson(P);
  EXPECT_EQ(J["id"], "2:3");
  EXPECT_EQ(J["line"], 2);
  EXPECT_EQ(J["pump"], 3);
  EXPECT_EQ(J["state"], "fuelling");
  EXPECT_EQ(J["nozzle"], 2);
  EXPECT_EQ(J["grade"], 4);
  EXPECT_EQ(J["volume"].dump(), "0.3");
  EXPECT_DOUBLE_EQ(J["amount"].get<double>(), 14.97);
  EXPECT_EQ(J["price_state"], "sent");
  EXPECT_TRUE(J["price_reason"].is_null());
  EXPECT_EQ(J["sale"], 9);
  EXPECT_TRUE(J["preset"].is_null());
  EXPECT_EQ(J["observed"], false);
  P.Observed = true;
  EXPECT_EQ(PumpJson(P)["observed"], true);

  P.SaleId = 0;
  P.State = station::TPointState::Offline;
  P.PriceState = station::TPriceState::Failed;
  P.PriceReason = "line_failed";
  const TJson Off = PumpJson(P);
  EXPECT_TRUE(Off["sale"].is_null());
  EXPECT_EQ(Off["state"], "offline");
  EXPECT_EQ(Off["price_state"], "failed");
  EXPECT_EQ(Off["price_reason"], "line_failed");
}

TEST(Mapping, EveryPointStateHasItsFixedName) {
  using station::TPointState;
  const std::pair<TPointState, const char *> Names[] = {
      {TPointState::Offline, "offline"},   {TPointState::Idle, "idle"},
      {TPointState::Calling, "calling"},   {TPointState::Authorised, "authorised"},
      {TPointState::Fuelling, "fuelling"}, {TPointState::Completed, "completed"},
      {TPointState::Locked, "locked"},     {TPointState::Error, "error"}};
  for (const auto &[State, Name] : Names) {
    station::TPumpSnapshot P;
    P.State = State;
    EXPECT_EQ(PumpJson(P)["state"], Name);
  }
}

TEST(Mapping, ALineAndPricesUseTheirNames) {
  station::TLineSnapshot L;
  L.Line = 1;
  L.CycleMs = 812.5;
  L.Polls = 120;
  L.Timeouts = 3;
  L.Rejected = 1;
  const TJson Quiet = LineJson(L);
  EXPECT_EQ(Quiet["line"], 1);
  EXPECT_DOUBLE_EQ(Quiet["cycle_ms"].get<double>(), 812.5);
  EXPECT_EQ(Quiet["polls"], 120);
  EXPECT_EQ(Quiet["timeouts"], 3);
  EXPECT_EQ(Quiet["rejected"], 1);
  EXPECT_TRUE(Quiet["last_error"].is_null());
  L.LastError = "no reply from pump 2";
  L.LastErrorMs = 1796770209123;
  L.ErrorsByNumber[4] = 3;
  const TJson Faulty = LineJson(L);
  EXPECT_EQ(Faulty["last_error"], "no reply from pump 2");
  EXPECT_EQ(Faulty["errors_by_number"], TJson({{"4", 3}}));
  // No whole reply in the window, no capture: null, not zeros that look measured.
  EXPECT_TRUE(Quiet["latency_ms"].is_null());
  EXPECT_TRUE(Quiet["capture"].is_null());
  L.LatencySamples = 40;
  L.LatencyMedianMs = 20.8333;
  L.LatencyP95Ms = 25.0004;
  L.LatencyMaxMs = 61.5;
  L.WireUse = 41.237;
  L.WindowS = 60;
  L.Capture = {"/var/lib/de30d/line1.pcapng", 1234, 99000, ""};
  const TJson Measured = LineJson(L);
  EXPECT_EQ(Measured["latency_ms"],
            TJson({{"median", 20.833}, {"p95", 25.0}, {"max", 61.5}, {"exchanges", 40}}));
  EXPECT_DOUBLE_EQ(Measured["wire_use"].get<double>(), 41.24);
  EXPECT_DOUBLE_EQ(Measured["window_s"].get<double>(), 60.0);
  EXPECT_EQ(Measured["capture"], TJson({{"file", "/var/lib/de30d/line1.pcapng"},
                                        {"exchanges", 1234},
                                        {"bytes", 99000},
                                        {"failure", nullptr}}));
  L.Capture.Failure = "cannot write the capture x: No space left on device";
  EXPECT_EQ(LineJson(L)["capture"]["failure"], L.Capture.Failure);

  // A driven line whose device keeps no error counts: null, and no tap figures.
  EXPECT_TRUE(Quiet["line_errors"].is_null());
  EXPECT_EQ(Quiet["tap"], false);
  EXPECT_TRUE(Quiet["heard"].is_null());
  L.LineErrors = capture::TLineErrors{1, 0, 7, 2};
  EXPECT_EQ(LineJson(L)["line_errors"],
            TJson({{"framing", 1}, {"parity", 0}, {"overrun", 7}, {"break", 2}}));
  L.Tap = true;
  L.Heard = {500, 3, 2, 1, 16};
  const TJson Tapped = LineJson(L);
  EXPECT_EQ(Tapped["tap"], true);
  EXPECT_EQ(Tapped["heard"], TJson({{"bytes", 500},
                                    {"garbage_bytes", 3},
                                    {"garbage_pieces", 2},
                                    {"stray_replies", 1},
                                    {"stray_bytes", 16}}));

  EXPECT_EQ(PricesJson({{1, 45.5}, {12, 47.2}}), TJson({{"1", 45.5}, {"12", 47.2}}));
  EXPECT_EQ(PricesJson({}), TJson::object());
}

TEST(Mapping, AnEventFrameCarriesItsIdKindAndObjectOnOneLine) {
  station::TEvent Event;
  Event.Kind = station::TEvent::TKind::Sale;
  Event.Sequence = 42;
  Event.Sale = PayableSale();
  Event.Sale.LockedBy = "two\nlines";
  const std::string Frame = SseFrame("7-42", Event);
  const std::string Head = "id: 7-42\nevent: sale\ndata: ";
  ASSERT_EQ(Frame.substr(0, Head.size()), Head);
  ASSERT_EQ(Frame.substr(Frame.size() - 2), "\n\n");
  const std::string Data = Frame.substr(Head.size(), Frame.size() - Head.size() - 2);
  EXPECT_EQ(Data.find('\n'), std::string::npos);
  EXPECT_EQ(TJson::parse(Data), SaleJson(Event.Sale));

  Event.Kind = station::TEvent::TKind::Price;
  Event.Pump.Line = 1;
  Event.Pump.Pump = 2;
  EXPECT_NE(SseFrame("7-43", Event).find("event: price\ndata: {"), std::string::npos);
  EXPECT_EQ(SseComment("heartbeat"), ": heartbeat\n\n");
}

TEST(StatusTable, EveryStationStatusHasARowWithTheStationsCode) {
  using TStatus = station::TCommandResult::TStatus;
  std::size_t Rows = 0;
  for (int S = static_cast<int>(TStatus::Ok); S <= static_cast<int>(TStatus::TapLine); ++S) {
    const auto Status = static_cast<TStatus>(S);
    const TStatusMapping &Row = MapStatus(Status);
    EXPECT_EQ(Row.Status, Status) << S;
    EXPECT_STREQ(Row.Code, station::StatusCode(Status)) << S;
    ++Rows;
  }
  EXPECT_EQ(StatusTable().size(), Rows);
}

TEST(StatusTable, RefusalsGetTheirHttpStatus) {
  using TStatus = station::TCommandResult::TStatus;
  const std::pair<TStatus, int> Expected[] = {
      {TStatus::UnknownPump, 404},    {TStatus::WrongState, 409},
      {TStatus::BadValue, 400},       {TStatus::LineFailed, 502},
      {TStatus::UnknownSale, 404},    {TStatus::NotPayable, 409},
      {TStatus::NotLocked, 409},      {TStatus::LockedByOther, 409},
      {TStatus::AlreadyCleared, 409}, {TStatus::Journal, 503},
      {TStatus::Stopping, 503},       {TStatus::NoPrice, 409},
      {TStatus::Reserved, 409},       {TStatus::Uncertain, 504}};
  for (const auto &[Status, Http] : Expected) {
    const EApiError Error = Refusal(station::TCommandResult::Fail(Status, "why"));
    EXPECT_EQ(Error.Status, Http) << station::StatusCode(Status);
    EXPECT_EQ(Error.Code, station::StatusCode(Status));
    EXPECT_STREQ(Error.what(), "why");
  }
  // An Ok result is never turned into a success-looking refusal.
  EXPECT_EQ(Refusal(station::TCommandResult{}).Status, 500);
}

} // namespace
