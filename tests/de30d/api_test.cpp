// de30d end to end: HTTP requests through real sockets to a station on simulated
// pumps, with its journal on a real file.
#include "service_fixture.hpp"

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace de30;
using namespace de30::test;

class Service : public TServiceTest {};

// The same station without a token: commands need no Authorization.
class OpenService : public TServiceTest {
protected:
  std::string Token() const override { return ""; }
};

TEST_F(Service, ListsThePumpsLinesAndPricesOfTheStation) {
  TReply Pumps = Get("/api/v1/pumps");
  ASSERT_EQ(Pumps.Status, 200);
  ASSERT_EQ(Pumps.Body.size(), 3u);
  EXPECT_EQ(Pumps.Body[0]["id"], "1:1");
  EXPECT_EQ(Pumps.Body[2]["id"], "2:3");
  EXPECT_EQ(Pumps.Body[2]["nozzles"], 4);
  // Once polled and sent its prices, a pump is idle and can serve.
  const TJson Idle = WaitForPump("1:2", "idle");
  EXPECT_EQ(Idle["line"], 1);
  EXPECT_EQ(Idle["pump"], 2);
  TReply Prices = Get("/api/v1/prices");
  ASSERT_EQ(Prices.Status, 200);
  EXPECT_EQ(Prices.Body, TJson({{"1", 45.5}, {"2", 47.2}, {"3", 52.9}, {"4", 49.9}}));
  TReply Lines = Get("/api/v1/lines");
  ASSERT_EQ(Lines.Status, 200);
  ASSERT_EQ(Lines.Body.size(), 2u);
  EXPECT_EQ(Lines.Body[1]["line"], 2);
  EXPECT_GT(Lines.Body[0]["polls"].get<int>(), 0);
  for (const char *Name : {"cycle_ms", "timeouts", "rejected", "last_error"})
    EXPECT_TRUE(Lines.Body[0].contains(Name)) << Name;
}

TEST_F(Service, AWholeSaleWithALitrePresetEndsPayableWithItsTotals) {
  WaitForPump("1:1", "idle");
  ASSERT_TRUE(Sim().LiftNozzle(1, 1, 1));
  WaitForPump("1:1", "calling");
  TReply Authorised = Post("/api/v1/pumps/1:1/authorize", R"({"litres": 2})");
  ASSERT_EQ(Authorised.Status, 200) << Authorised.Body.dump();
  EXPECT_EQ(Authorised.Body["id"], "1:1");
  WaitForPump("1:1", "completed");
  Sim().HangNozzle(1, 1);
  const TJson Sale = WaitForSale("1:1", "payable");
  ASSERT_TRUE(Sale.is_object());
  EXPECT_EQ(Sale["preset"], TJson({{"litres", 2.0}}));
  EXPECT_EQ(Sale["nozzle"], 1);
  EXPECT_EQ(Sale["grade"], 2); // pump 1's only nozzle sells grade 2
  EXPECT_DOUBLE_EQ(Sale["price"].get<double>(), 47.2);
  EXPECT_DOUBLE_EQ(Sale["volume"].get<double>(), 2.0);
  EXPECT_DOUBLE_EQ(Sale["amount"].get<double>(), 94.4);
  ASSERT_TRUE(Sale["start_totals"].is_object());
  ASSERT_TRUE(Sale["end_totals"].is_object());
  EXPECT_NEAR(Sale["end_totals"]["volume"].get<double>() -
                  Sale["start_totals"]["volume"].get<double>(),
              2.0, 1e-9);
  EXPECT_TRUE(Sale["ended"].is_string());
  EXPECT_TRUE(Sale["locked_by"].is_null());
  // The pump shows the sale's final figures, not the last reading during the fill.
  TReply Pump = Get("/api/v1/pumps/1:1");
  EXPECT_DOUBLE_EQ(Pump.Body["volume"].get<double>(), 2.0);
  EXPECT_DOUBLE_EQ(Pump.Body["amount"].get<double>(), 94.4);
  // The same sale by its id.
  TReply ById = Get("/api/v1/sales/" + Sale["id"].dump());
  ASSERT_EQ(ById.Status, 200);
  EXPECT_EQ(ById.Body, Sale);
}

TEST_F(Service, ASaleWithoutPresetEndsWhenTheNozzleHangsUp) {
  WaitForPump("1:2", "idle");
  ASSERT_TRUE(Sim().LiftNozzle(1, 2, 2));
  WaitForPump("1:2", "calling");
  ASSERT_EQ(Post("/api/v1/pumps/1:2/authorize", "").Status, 200);
  // While it fuels, the sale is open and has no end.
  WaitForPump("1:2", "fuelling");
  const TJson Open = WaitForSale("1:2", "open");
  ASSERT_TRUE(Open.is_object());
  EXPECT_TRUE(Open["ended"].is_null());
  EXPECT_TRUE(Open["end_totals"].is_null());
  EXPECT_TRUE(Open["preset"].is_null());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Sim().HangNozzle(1, 2);
  const TJson Sale = WaitForSale("1:2", "payable");
  ASSERT_TRUE(Sale.is_object());
  EXPECT_EQ(Sale["id"], Open["id"]);
  EXPECT_EQ(Sale["grade"], 4); // the second nozzle of pump 2 sells grade 4
  EXPECT_GT(Sale["volume"].get<double>(), 0.0);
  EXPECT_NEAR(Sale["amount"].get<double>(),
              std::round(Sale["volume"].get<double>() * 49.9 * 100) / 100, 0.011);
}

TEST_F(Service, LockAndClearRefuseEachWrongStepWithItsCode) {
  WaitForPump("1:1", "idle");
  ASSERT_TRUE(Sim().LiftNozzle(1, 1, 1));
  WaitForPump("1:1", "calling");
  ASSERT_EQ(Post("/api/v1/pumps/1:1/authorize", R"({"money": 47.2})").Status, 200);
  WaitForPump("1:1", "completed");
  Sim().HangNozzle(1, 1);
  const TJson Sale = WaitForSale("1:1", "payable");
  ASSERT_TRUE(Sale.is_object());
  EXPECT_EQ(Sale["preset"], TJson({{"money", 47.2}}));
  EXPECT_DOUBLE_EQ(Sale["volume"].get<double>(), 1.0);
  const std::string Path = "/api/v1/sales/" + Sale["id"].dump();

  const auto Expect = [&](const std::string &Verb, const std::string &Who, int Status,
                          const std::string &Code) {
    TReply R = Post(Path + "/" + Verb, TJson({{"client", Who}}).dump());
    EXPECT_EQ(R.Status, Status) << Verb << " by " << Who << ": " << R.Body.dump();
    if (!Code.empty()) {
      EXPECT_EQ(R.Body["error"], Code) << Verb << " by " << Who;
    }
    return R;
  };
  Expect("clear", "pos-1", 409, "not_locked");
  TReply Locked = Expect("lock", "pos-1", 200, "");
  EXPECT_EQ(Locked.Body["state"], "locked");
  EXPECT_EQ(Locked.Body["locked_by"], "pos-1");
  Expect("lock", "pos-2", 409, "not_payable");
  Expect("clear", "pos-2", 409, "locked_by_other");
  TReply Cleared = Expect("clear", "pos-1", 200, "");
  EXPECT_EQ(Cleared.Body["state"], "cleared");
  // A client that did not hear the answer may ask again and is told it is done.
  EXPECT_EQ(Expect("clear", "pos-1", 200, "").Body["state"], "cleared");
  Expect("clear", "pos-2", 409, "already_cleared");
  EXPECT_EQ(Get(Path).Body["state"], "cleared");
  EXPECT_EQ(Get("/api/v1/sales?state=cleared").Body.size(), 1u);
  EXPECT_EQ(Get("/api/v1/sales?state=payable").Body.size(), 0u);

  TReply Unknown = Post("/api/v1/sales/999999/lock", R"({"client": "pos-1"})");
  EXPECT_EQ(Unknown.Status, 404);
  EXPECT_EQ(Unknown.Body["error"], "unknown_sale");
  EXPECT_EQ(Get("/api/v1/sales/999999").Body["error"], "unknown_sale");
  TReply NoClient = Post(Path + "/lock", "{}");
  EXPECT_EQ(NoClient.Status, 400);
  EXPECT_EQ(NoClient.Body["error"], "missing_field");
}

TEST_F(Service, BadRequestsAreRefusedWithTheirStatusAndCode) {
  struct TCase {
    std::string Path;
    std::string Body;
    int Status;
    const char *Code;
  };
  const TCase Cases[] = {
      {"/api/v1/pumps/1:1/authorize", "{\"litres\": ", 400, "malformed_json"},
      {"/api/v1/pumps/1:1/authorize", R"({"litres": "ten"})", 400, "wrong_type"},
      {"/api/v1/pumps/1:1/authorize", R"({"litres": -5})", 400, "bad_value"},
      {"/api/v1/pumps/1:1/authorize", R"({"litres": 5, "money": 5})", 400,
       "conflicting_preset"},
      {"/api/v1/pumps/1:1/authorize", R"({"liters": 5})", 400, "unknown_field"},
      {"/api/v1/pumps/one/authorize", "{}", 400, "bad_pump_id"},
      {"/api/v1/pumps/9:9/authorize", "{}", 404, "unknown_pump"},
      {"/api/v1/pumps/9:9/stop", "", 404, "unknown_pump"},
      {"/api/v1/pumps/1:1/unblock", "{}", 400, "missing_field"},
      {"/api/v1/sales/x/clear", R"({"client": "a"})", 400, "bad_sale_id"},
      {"/api/v1/stop-all", R"({"now": true})", 400, "unknown_field"},
      {"/api/v1/no-such-thing", "{}", 404, "not_found"},
  };
  for (const TCase &C : Cases) {
    TReply R = Post(C.Path, C.Body);
    EXPECT_EQ(R.Status, C.Status) << C.Path << " " << C.Body << ": " << R.Body.dump();
    ASSERT_TRUE(R.Body.is_object()) << C.Path;
    EXPECT_EQ(R.Body["error"], C.Code) << C.Path << " " << C.Body;
    EXPECT_TRUE(R.Body["message"].is_string()) << C.Path;
  }
  EXPECT_EQ(Get("/api/v1/pumps/9:9").Status, 404);
  EXPECT_EQ(Get("/api/v1/pumps/9:9").Body["error"], "unknown_pump");
  EXPECT_EQ(Get("/api/v1/sales?state=paid").Body["error"], "bad_query");
  EXPECT_EQ(Put("/api/v1/prices", R"({"1": 123})").Body["error"], "bad_value");
  // Nothing reached the pump: it is still idle.
  EXPECT_EQ(WaitForPump("1:1", "idle")["state"], "idle");
}

TEST_F(Service, ACommandThePumpsStateDoesNotAllowIsAConflict) {
  WaitForPump("2:3", "idle");
  // Authorised before anyone lifted a nozzle: a second authorisation is refused.
  ASSERT_EQ(Post("/api/v1/pumps/2:3/authorize", "{}").Status, 200);
  TReply Refused = Post("/api/v1/pumps/2:3/authorize", R"({"litres": 1})");
  EXPECT_EQ(Refused.Status, 409) << Refused.Body.dump();
  EXPECT_EQ(Refused.Body["error"], "wrong_state");
  // Nobody came yet: the pump keeps the authorisation, waiting for the nozzle, and
  // is not unblocked under it.
  WaitForPump("2:3", "authorised");
  TReply Busy = Post("/api/v1/pumps/2:3/unblock", R"({"code": 5})");
  EXPECT_EQ(Busy.Status, 409) << Busy.Body.dump();
  EXPECT_EQ(Busy.Body["error"], "wrong_state");
  ASSERT_EQ(Post("/api/v1/pumps/2:3/stop", "").Status, 200);
  WaitForPump("2:3", "idle");
  TReply Unblocked = Post("/api/v1/pumps/2:3/unblock", R"({"code": 5})");
  EXPECT_EQ(Unblocked.Status, 200) << Unblocked.Body.dump();
  WaitForPump("2:3", "idle");
  EXPECT_EQ(Sim().View(2, 3).LastUnblockCode, 5);
}

TEST_F(Service, AnOversizedBodyIsRefusedBeforeItIsRead) {
  const std::string Huge = R"({"litres": 1, "pad": ")" + std::string(70 * 1024, 'x') + "\"}";
  TReply R = Post("/api/v1/pumps/1:1/authorize", Huge);
  EXPECT_EQ(R.Status, 413);
  EXPECT_EQ(R.Body["error"], "payload_too_large");
  // The service goes on serving.
  EXPECT_EQ(Get("/api/v1/pumps").Status, 200);
}

TEST_F(Service, CommandsNeedTheBearerTokenAndReadsDoNot) {
  for (const std::string &Bearer : {std::string("-"), std::string("wrong")}) {
    TReply R = Post("/api/v1/stop-all", "", Bearer);
    EXPECT_EQ(R.Status, 401) << Bearer;
    EXPECT_EQ(R.Body["error"], "unauthorized");
    EXPECT_EQ(R.Authenticate.rfind("Bearer", 0), 0u) << R.Authenticate;
  }
  httplib::Headers Basic{{"Authorization", "Basic czNjcmV0"}};
  const auto Put = Client->Put("/api/v1/prices", Basic, R"({"1": 40})", "application/json");
  ASSERT_TRUE(Put);
  EXPECT_EQ(Put->status, 401);
  EXPECT_EQ(Get("/api/v1/prices").Body["1"], 45.5);
  EXPECT_EQ(Post("/api/v1/stop-all", "").Status, 200);
}

TEST_F(OpenService, WithoutATokenCommandsNeedNone) {
  EXPECT_EQ(Post("/api/v1/stop-all", "", "-").Status, 200);
}

TEST_F(Service, NewPricesAreKeptAndSentToThePumps) {
  WaitForPump("1:1", "idle");
  TReply R = Put("/api/v1/prices", R"({"2": 50.1})");
  ASSERT_EQ(R.Status, 200) << R.Body.dump();
  EXPECT_EQ(R.Body["2"], 50.1);
  EXPECT_EQ(R.Body["1"], 45.5);
  EXPECT_EQ(Station->Journal().Prices().at(2), 50.1);
  // Pump 1 sells grade 2 on its only nozzle: it is sent the new price.
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  TJson Pump;
  do {
    Pump = Get("/api/v1/pumps/1:1").Body;
    if (Pump["price_state"] == "sent" && Pump["prices"] == TJson({50.1}))
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < Deadline);
  EXPECT_EQ(Pump["prices"], TJson({50.1})) << Pump.dump();
  EXPECT_EQ(Sim().View(1, 1).Prices[0], 5010);
}

// Reads the event stream on a thread of its own until Stop says so.
struct TStreamReader {
  explicit TStreamReader(int Port) : Http("127.0.0.1", Port) {
    Http.set_read_timeout(std::chrono::seconds(10));
    Reader = std::thread([this] {
      const auto Result = Http.Get("/api/v1/events", [this](const char *Data, size_t Size) {
        std::lock_guard Lock(Guard);
        Text.append(Data, Size);
        return !Quit.load();
      });
      Ended = static_cast<bool>(Result);
      Done = true;
    });
  }
  ~TStreamReader() {
    Quit = true;
    Reader.join();
  }
  bool WaitFor(const std::string &Part, int TimeoutMs = 10000) {
    const auto Deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (std::chrono::steady_clock::now() < Deadline) {
      if (Has(Part))
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  bool Has(const std::string &Part) {
    std::lock_guard Lock(Guard);
    return Text.find(Part) != std::string::npos;
  }
  std::string Snapshot() {
    std::lock_guard Lock(Guard);
    return Text;
  }
  httplib::Client Http;
  std::mutex Guard;
  std::string Text;
  std::atomic<bool> Quit{false}, Done{false}, Ended{false};
  std::thread Reader;
};

TEST_F(Service, TheEventStreamDeliversAPumpEventAfterANozzleLift) {
  WaitForPump("2:3", "idle");
  TStreamReader Stream(Server->Port());
  ASSERT_TRUE(Stream.WaitFor(": de30d events"));
  ASSERT_TRUE(Sim().LiftNozzle(2, 3, 3));
  ASSERT_TRUE(Stream.WaitFor("\"state\":\"calling\"")) << Stream.Snapshot();
  const std::string Text = Stream.Snapshot();
  // The frame that carries it: id, kind, and the pump's object on one data line.
  const auto At = Text.find("\"state\":\"calling\"");
  const auto Start = Text.rfind("id: ", At);
  ASSERT_NE(Start, std::string::npos);
  const std::string Frame = Text.substr(Start, Text.find("\n\n", At) - Start);
  EXPECT_NE(Frame.find("\nevent: pump\ndata: {"), std::string::npos) << Frame;
  const TJson Pump = TJson::parse(Frame.substr(Frame.find("data: ") + 6));
  EXPECT_EQ(Pump["id"], "2:3");
  EXPECT_EQ(Pump["nozzle"], 3);
  EXPECT_EQ(Pump["grade"], 3);
  // Heartbeats keep a quiet stream alive.
  EXPECT_TRUE(Stream.WaitFor(": heartbeat"));
}

// The objects of one kind of event in a stream's text, in order.
std::vector<TJson> EventsOf(const std::string &Text, const std::string &Kind) {
  std::vector<TJson> Found;
  const std::string Head = "\nevent: " + Kind + "\ndata: ";
  for (auto At = Text.find(Head); At != std::string::npos; At = Text.find(Head, At + 1)) {
    const auto From = At + Head.size();
    Found.push_back(TJson::parse(Text.substr(From, Text.find('\n', From) - From)));
  }
  return Found;
}

TEST_F(Service, TheStreamsLastWordOnAPumpAfterASaleIsTheSalesFigures) {
  WaitForPump("1:2", "idle");
  TStreamReader Stream(Server->Port());
  ASSERT_TRUE(Stream.WaitFor(": de30d events"));
  ASSERT_TRUE(Sim().LiftNozzle(1, 2, 1));
  WaitForPump("1:2", "calling");
  ASSERT_EQ(Post("/api/v1/pumps/1:2/authorize", "").Status, 200);
  WaitForPump("1:2", "fuelling");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Hung up between two readings: the sale's figures are newer than the last one.
  Sim().HangNozzle(1, 2);
  const TJson Sale = WaitForSale("1:2", "payable");
  ASSERT_TRUE(Sale.is_object());
  ASSERT_TRUE(Stream.WaitFor("\"state\":\"payable\"")) << Stream.Snapshot();
  TJson Last;
  for (const TJson &Pump : EventsOf(Stream.Snapshot(), "pump"))
    if (Pump["id"] == "1:2")
      Last = Pump;
  ASSERT_TRUE(Last.is_object());
  EXPECT_EQ(Last["state"], "completed");
  EXPECT_EQ(Last["volume"], Sale["volume"]) << Last.dump();
  EXPECT_EQ(Last["amount"], Sale["amount"]) << Last.dump();
  EXPECT_EQ(Last, Get("/api/v1/pumps/1:2").Body); // a client of the stream sees what GET does
}

TEST_F(Service, TheEventStreamEndsCleanlyWhenTheServiceStops) {
  TStreamReader Stream(Server->Port());
  ASSERT_TRUE(Stream.WaitFor(": de30d events"));
  Server->Stop();
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!Stream.Done && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(Stream.Done);
  EXPECT_TRUE(Stream.Ended); // a complete chunked response, not a broken connection
  EXPECT_TRUE(Stream.Has(": the service is stopping")) << Stream.Snapshot();
}

TEST_F(Service, ASlowStreamDoesNotHoldUpTheStation) {
  // A client that opens the stream and never reads.
  httplib::Client Idle("127.0.0.1", Server->Port());
  std::atomic<bool> Quit{false};
  std::thread Stuck([&] {
    Idle.Get("/api/v1/events", [&](const char *, size_t) {
      while (!Quit)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      return false;
    });
  });
  WaitForPump("1:1", "idle");
  ASSERT_TRUE(Sim().LiftNozzle(1, 1, 1));
  WaitForPump("1:1", "calling");
  ASSERT_EQ(Post("/api/v1/pumps/1:1/authorize", R"({"litres": 1})").Status, 200);
  WaitForPump("1:1", "completed");
  Quit = true;
  Stuck.join();
}

} // namespace
