// Strict reading of requests: each fault refused with its own code.
#include "api_error.hpp"
#include "requests.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace de30;
using namespace de30::service;

// The code a parse is refused with, or "" when it is accepted.
std::string RefusedWith(const std::function<void()> &Parse) {
  try {
    Parse();
  } catch (const EApiError &Error) {
    EXPECT_EQ(Error.Status, 400) << Error.Code;
    return Error.Code;
  }
  return "";
}

TEST(Requests, PumpIdsAreLineColonPump) {
  const TPumpAddress A = ParsePumpId("2:13");
  EXPECT_EQ(A.Line, 2);
  EXPECT_EQ(A.Pump, 13);
  for (const char *Bad : {"", "1", "1:", ":1", "1:x", "a:1", "1:2:3", "-1:2", "1:+2", " 1:2",
                          "0:1", "1:0", "99999:1", "1;2"})
    EXPECT_EQ(RefusedWith([&] { ParsePumpId(Bad); }), "bad_pump_id") << Bad;
  EXPECT_EQ(RefusedWith([] { ParseSaleId("12a"); }), "bad_sale_id");
  EXPECT_EQ(RefusedWith([] { ParseSaleId("0"); }), "bad_sale_id");
  EXPECT_EQ(ParseSaleId("17"), 17);
}

TEST(Requests, AuthorizeReadsOnePresetAndAGrade) {
  const auto None = ParseAuthorize("");
  EXPECT_EQ(None.Preset.Kind, station::TPreset::TKind::None);
  EXPECT_FALSE(None.Grade);
  const auto Litres = ParseAuthorize(R"({"litres": 10})");
  EXPECT_EQ(Litres.Preset.Kind, station::TPreset::TKind::Litres);
  EXPECT_DOUBLE_EQ(Litres.Preset.Value, 10.0);
  const auto Money = ParseAuthorize(R"({"money": 455.5, "grade": 2})");
  EXPECT_EQ(Money.Preset.Kind, station::TPreset::TKind::Money);
  EXPECT_DOUBLE_EQ(Money.Preset.Value, 455.5);
  EXPECT_EQ(Money.Grade, 2);
}

TEST(Requests, AuthorizeRefusesEachFaultWithItsCode) {
  const std::pair<const char *, const char *> Cases[] = {
      {"{", "malformed_json"},
      {"[1]", "malformed_json"},
      {"\"litres\"", "malformed_json"},
      {R"({"litres": 1e999})", "malformed_json"}, // not a finite number
      {R"({"litres": "10"})", "wrong_type"},
      {R"({"litres": true})", "wrong_type"},
      {R"({"litres": null})", "wrong_type"},
      {R"({"grade": 1.5})", "wrong_type"},
      {R"({"litres": -1})", "bad_value"},
      {R"({"litres": 0})", "bad_value"},
      {R"({"money": 0.001})", "bad_value"},
      {R"({"litres": 10000})", "bad_value"},
      {R"({"grade": 0})", "bad_value"},
      {R"({"grade": 18446744073709551615})", "bad_value"},
      {R"({"litres": 5, "money": 5})", "conflicting_preset"},
      {R"({"liters": 5})", "unknown_field"},
      // The pump takes hundredths, as prices are.
      {R"({"litres": 10.005})", "bad_value"},
      {R"({"money": 12.345})", "bad_value"},
      // A key given twice: which value was meant cannot be told.
      {R"({"litres": 1, "litres": 2})", "duplicate_key"},
      {R"({"grade": 1, "money": 5, "grade": 2})", "duplicate_key"},
  };
  for (const auto &[Body, Code] : Cases)
    EXPECT_EQ(RefusedWith([Body = Body] { ParseAuthorize(Body); }), Code) << Body;
  // Two decimals pass, however binary floating point holds them.
  for (const double Litres : {10.25, 0.29, 9999.99, 1.1})
    EXPECT_EQ(ParseAuthorize(R"({"litres": )" + std::to_string(Litres) + "}").Preset.Value,
              Litres);
  EXPECT_EQ(RefusedWith([] { ParsePrices(R"({"1": 45.5, "1": 40})"); }), "duplicate_key");
  EXPECT_EQ(RefusedWith([] { ParseClient(R"({"client": "a", "client": "b"})"); }),
            "duplicate_key");
  // The same key in two objects is no duplicate.
  EXPECT_EQ(ParsePrices(R"({"1": 45.5, "2": 40})").size(), 2u);
}

TEST(Requests, UnblockClientAndNoArgumentBodies) {
  EXPECT_EQ(ParseUnblock(R"({"code": 255})"), 255);
  EXPECT_EQ(RefusedWith([] { ParseUnblock(""); }), "malformed_json");
  EXPECT_EQ(RefusedWith([] { ParseUnblock("{}"); }), "missing_field");
  EXPECT_EQ(RefusedWith([] { ParseUnblock(R"({"code": 256})"); }), "bad_value");
  EXPECT_EQ(RefusedWith([] { ParseUnblock(R"({"code": "5"})"); }), "wrong_type");

  EXPECT_EQ(ParseClient(R"({"client": "pos-1"})"), "pos-1");
  EXPECT_EQ(RefusedWith([] { ParseClient("{}"); }), "missing_field");
  EXPECT_EQ(RefusedWith([] { ParseClient(R"({"client": 7})"); }), "wrong_type");
  EXPECT_EQ(RefusedWith([] { ParseClient(R"({"client": ""})"); }), "bad_value");
  EXPECT_EQ(RefusedWith([] { ParseClient(R"({"client": "a\u0001"})"); }), "bad_value");
  EXPECT_EQ(RefusedWith([] { ParseClient(R"({"client": "a", "pos": 1})"); }), "unknown_field");

  EXPECT_EQ(RefusedWith([] { ParseNoArguments(""); }), "");
  EXPECT_EQ(RefusedWith([] { ParseNoArguments("{}"); }), "");
  EXPECT_EQ(RefusedWith([] { ParseNoArguments(R"({"all": true})"); }), "unknown_field");
}

TEST(Requests, PricesMapGradesToPrices) {
  const auto Prices = ParsePrices(R"({"1": 45.5, "2": 47})");
  EXPECT_EQ(Prices, (std::map<int, double>{{1, 45.5}, {2, 47.0}}));
  for (const char *Bad :
       {"{}", R"({"x": 1})", R"({"0": 1})", R"({"100": 1})", R"({"1": -1})", R"({"1": 100})"})
    EXPECT_EQ(RefusedWith([&] { ParsePrices(Bad); }), "bad_value") << Bad;
  EXPECT_EQ(RefusedWith([] { ParsePrices(R"({"1": "45.5"})"); }), "wrong_type");
  EXPECT_EQ(RefusedWith([] { ParsePrices("45.5"); }), "malformed_json");
}

TEST(Requests, TimesAreIsoUtcOrMilliseconds) {
  EXPECT_EQ(ParseTime("2026-12-08T22:50:09.123Z"), 1796770209123);
  EXPECT_EQ(ParseTime("2026-12-08T22:50:09Z"), 1796770209000);
  EXPECT_EQ(ParseTime("1970-01-01T00:00:00.5Z"), 500);
  EXPECT_EQ(ParseTime("2000-03-01T00:00:00Z"), 951868800000);
  EXPECT_EQ(ParseTime("1796770209123"), 1796770209123);
  for (const char *Bad :
       {"", "2026-12-08", "2026-12-08T22:50:09", "2026-12-08T22:50:09+01:00",
        "2026-13-08T22:50:09Z", "2026-12-08T24:00:00Z", "2026-12-08T22:50:09.Z", "-5",
        // Days a month does not have.
        "2026-02-30T00:00:00Z", "2026-02-29T00:00:00Z", "2026-04-31T00:00:00Z",
        "1900-02-29T00:00:00Z", "2026-06-31T12:00:00Z"})
    EXPECT_FALSE(ParseTime(Bad)) << Bad;
  // Leap days of leap years, and the last day of each month, are days.
  EXPECT_EQ(ParseTime("2024-02-29T00:00:00Z"), 1709164800000);
  EXPECT_EQ(ParseTime("2000-02-29T00:00:00Z"), 951782400000);
  for (const char *Last :
       {"2026-01-31T00:00:00Z", "2026-04-30T00:00:00Z", "2026-12-31T00:00:00Z"})
    EXPECT_TRUE(ParseTime(Last)) << Last;
}

TEST(Requests, SaleFiltersReadStateTimeAndLimit) {
  const auto Filter = ParseSaleFilter({{"state", "payable"},
                                       {"from", "2026-12-08T00:00:00Z"},
                                       {"to", "1796770209123"},
                                       {"limit", "5"}});
  EXPECT_EQ(Filter.State, station::TSaleState::Payable);
  EXPECT_EQ(Filter.FromMs, 1796688000000);
  EXPECT_EQ(Filter.ToMs, 1796770209123);
  EXPECT_EQ(Filter.Limit, 5);
  for (const std::pair<std::string, std::string> &Bad :
       std::initializer_list<std::pair<std::string, std::string>>{{"state", "paid"},
                                                                  {"from", "yesterday"},
                                                                  {"limit", "0"},
                                                                  {"limit", "x"},
                                                                  {"colour", "red"}})
    EXPECT_EQ(RefusedWith([&] { ParseSaleFilter({Bad}); }), "bad_query") << Bad.first;
}

// The lists' limit: the default without one, the bounds themselves taken, and
// anything outside them, not a number, or another parameter refused.
TEST(Requests, ListLimitsStayWithinTheirBounds) {
  EXPECT_EQ(ParseLimit({}, 30, 1000), 30);
  EXPECT_EQ(ParseLimit({{"limit", "1"}}, 30, 1000), 1);
  EXPECT_EQ(ParseLimit({{"limit", "1000"}}, 30, 1000), 1000);
  for (const std::pair<std::string, std::string> &Bad :
       std::initializer_list<std::pair<std::string, std::string>>{{"limit", "0"},
                                                                  {"limit", "1001"},
                                                                  {"limit", "99999999999"},
                                                                  {"limit", "-1"},
                                                                  {"limit", "+5"},
                                                                  {"limit", ""},
                                                                  {"limit", "5 "},
                                                                  {"pump", "1:1"}})
    EXPECT_EQ(RefusedWith([&] { ParseLimit({Bad}, 30, 1000); }), "bad_query")
        << Bad.first << "=" << Bad.second;
}

} // namespace
