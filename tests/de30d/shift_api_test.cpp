// Shifts through de30d's interface, over real sockets: who may close one, the
// report's JSON, a repeated close that closes once, a close that names a shift
// already closed, the list and the open shift, and a restart that keeps them.

#include "service_fixture.hpp"

#include <string>

namespace de30::test {
namespace {

constexpr char Pos[] = "pos-token";
constexpr char Viewer[] = "viewer-token";

class ShiftApi : public TServiceTest {
protected:
  void Adjust(station::TStationConfig &Config) override {
    using station::TClientRole;
    Config.Clients = {{"till", Pos, TClientRole::Pos}, {"screen", Viewer, TClientRole::Viewer}};
  }
  TReply Close(const std::string &Body, const std::string &Token, const std::string &Key = {}) {
    httplib::Headers Headers;
    if (Token != "-")
      Headers.emplace("Authorization", std::string("Bearer ") + Token);
    if (!Key.empty())
      Headers.emplace("Idempotency-Key", Key);
    const auto Result = Client->Post("/api/v1/shifts/close", Headers, Body, "application/json");
    TReply Reply;
    if (Result) {
      Reply.Status = Result->status;
      Reply.Body = TJson::parse(Result->body, nullptr, false);
    }
    return Reply;
  }
  // A sale of a litre on pump 1:1, cleared by the till.
  TJson SellAndClear() {
    WaitForPump("1:1", "idle");
    EXPECT_TRUE(Sim().LiftNozzle(1, 1, 1));
    WaitForPump("1:1", "calling");
    EXPECT_EQ(Post("/api/v1/pumps/1:1/authorize", R"({"litres": 1})", Pos).Status, 200);
    WaitForPump("1:1", "completed");
    Sim().HangNozzle(1, 1);
    const TJson Sale = WaitForSale("1:1", "payable");
    const std::string Path = "/api/v1/sales/" + Sale["id"].dump();
    EXPECT_EQ(Post(Path + "/lock", "", Pos).Status, 200);
    EXPECT_EQ(Post(Path + "/clear", "", Pos).Status, 200);
    return Sale;
  }
};

TEST_F(ShiftApi, ACloseIsACommandWithItsRefusals) {
  struct TCase {
    const char *What;
    std::string Body, Token;
    int Status;
    const char *Code;
  };
  const TCase Cases[] = {
      {"a viewer only reads", "{}", Viewer, 403, "forbidden"},
      {"no token", "{}", "-", 401, "unauthorized"},
      {"a body naming another client", R"({"client": "other"})", Pos, 403, "client_mismatch"},
      {"an unknown field", R"({"shfit": 1})", Pos, 400, "unknown_field"},
      {"a shift that is not a number", R"({"shift": "1"})", Pos, 400, "wrong_type"},
      {"a shift not open", R"({"shift": 7})", Pos, 409, "shift_not_open"},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.What);
    const TReply Reply = Close(Case.Body, Case.Token);
    EXPECT_EQ(Reply.Status, Case.Status) << Reply.Body.dump();
    EXPECT_EQ(Reply.Body.value("error", ""), Case.Code);
  }
  EXPECT_EQ(Get("/api/v1/shifts/current").Body["id"], 1) << "nothing was closed";
  EXPECT_EQ(Get("/api/v1/shifts/9").Status, 404);
  EXPECT_EQ(Get("/api/v1/shifts/9").Body["error"], "unknown_shift");
  EXPECT_EQ(Get("/api/v1/shifts/x").Status, 400);
  EXPECT_EQ(Get("/api/v1/shifts?limit=0").Status, 400);
}

TEST_F(ShiftApi, AClosedShiftReportsItsSalesAndARepeatedCloseClosesOnce) {
  const TJson Sale = SellAndClear();
  const TJson SoFar = Get("/api/v1/shifts/current").Body;
  EXPECT_EQ(SoFar["state"], "open");
  EXPECT_TRUE(SoFar["closed"].is_null());

  const TReply First = Close(R"({"shift": 1})", Pos, "close-1");
  ASSERT_EQ(First.Status, 200) << First.Body.dump();
  const TReply Again = Close(R"({"shift": 1})", Pos, "close-1");
  EXPECT_EQ(Again.Status, 200);
  EXPECT_EQ(Again.Body, First.Body) << "the first answer, not a second close";
  const TJson &Shift = First.Body;
  EXPECT_EQ(Shift["id"], 1);
  EXPECT_EQ(Shift["state"], "closed");
  EXPECT_EQ(Shift["closed_by"], "till");
  EXPECT_EQ(Shift["uploaded"], false);
  EXPECT_EQ(Shift["grades"], SoFar["grades"]) << "the open shift showed what the close took";
  EXPECT_EQ(Shift["grades"],
            TJson::parse(R"([{"grade": )" + Sale["grade"].dump() +
                         R"(, "count": 1, "volume": )" + Sale["volume"].dump() +
                         R"(, "amount": )" + Sale["amount"].dump() + "}]"));
  EXPECT_EQ(Shift["clients"][0]["client"], "till");
  EXPECT_EQ(Shift["clients"][0]["count"], 1);
  EXPECT_EQ(Shift["pending"]["count"], 0);
  TJson Nozzle;
  for (const auto &Row : Shift["nozzles"])
    if (Row["pump"] == "1:1" && Row["nozzle"] == 1)
      Nozzle = Row;
  ASSERT_TRUE(Nozzle.is_object()) << Shift.dump();
  EXPECT_EQ(Nozzle["sales"]["count"], 1);
  EXPECT_EQ(Nozzle["sales"]["volume"], Sale["volume"]);
  // The first shift opened before the pump's totals were read: said, not guessed.
  EXPECT_TRUE(Nozzle["open_totals"].is_null());
  EXPECT_EQ(Nozzle["open_missing"], "not read before the shift opened");
  EXPECT_TRUE(Nozzle["close_totals"].is_object());
  EXPECT_TRUE(Nozzle["difference"].is_null());

  EXPECT_EQ(Get("/api/v1/shifts/current").Body["id"], 2);
  EXPECT_EQ(Get("/api/v1/shifts/2").Body, Get("/api/v1/shifts/current").Body);
  EXPECT_EQ(Get("/api/v1/shifts/1").Body, Shift);
  const TJson List = Get("/api/v1/shifts?limit=5").Body;
  ASSERT_EQ(List.size(), 2u);
  EXPECT_EQ(List[0]["id"], 2) << "newest first";
  EXPECT_EQ(List[1], Shift);

  // The next shift has both ends of the pump's totals: a sale that matches them
  // leaves no difference.
  SellAndClear();
  const TReply Second = Close("{}", Pos);
  ASSERT_EQ(Second.Status, 200);
  for (const auto &Row : Second.Body["nozzles"])
    if (Row["pump"] == "1:1") {
      ASSERT_TRUE(Row["difference"].is_object()) << Row.dump();
      EXPECT_EQ(Row["difference"]["volume"], 0.0);
      EXPECT_EQ(Row["difference"]["amount"], 0.0);
    }

  RestartService();
  EXPECT_EQ(Get("/api/v1/shifts/1").Body, Shift) << "kept across a restart";
  EXPECT_EQ(Get("/api/v1/shifts/current").Body["id"], 3);
}

} // namespace
} // namespace de30::test
