// The sale lifecycle a POS builds on, against the real server and journal:
// clients known by their tokens, reservations, unlocks and lock expiry, and
// requests a client may repeat without acting twice.

#include "service_fixture.hpp"

#include <chrono>
#include <thread>

namespace de30::test {
namespace {

using namespace std::chrono_literals;

constexpr char Pos1[] = "pos-1-token";
constexpr char Pos2[] = "pos-2-token";
constexpr char Viewer[] = "viewer-token";
constexpr char Admin[] = "s3cret"; // [station] token: the admin client

class Clients : public TServiceTest {
protected:
  void Adjust(station::TStationConfig &Config) override {
    using station::TClientRole;
    Config.Clients = {{"pos-1", Pos1, TClientRole::Pos},
                      {"pos-2", Pos2, TClientRole::Pos},
                      {"screen", Viewer, TClientRole::Viewer}};
    Config.LockTimeout = LockTimeout;
  }

  // A POST with a bearer token ("" for none) and optional extra headers, and
  // the answer's headers.
  struct TAnswer {
    int Status = 0;
    TJson Body;
    httplib::Headers Headers;
  };
  TAnswer Send(const std::string &Path, const std::string &Body, const std::string &Token,
               const httplib::Headers &Extra = {}) {
    httplib::Headers Headers = Extra;
    if (!Token.empty())
      Headers.emplace("Authorization", "Bearer " + Token);
    const auto Result = Client->Post(Path.c_str(), Headers, Body, "application/json");
    TAnswer Answer;
    if (Result) {
      Answer.Status = Result->status;
      Answer.Body = TJson::parse(Result->body, nullptr, false);
      Answer.Headers = Result->headers;
    }
    return Answer;
  }

  // A payable sale on pump 1:1 (a litre, authorised by Token).
  TJson Sell(const std::string &Token) {
    WaitForPump("1:1", "idle");
    EXPECT_TRUE(Sim().LiftNozzle(1, 1, 1));
    WaitForPump("1:1", "calling");
    const TAnswer Authorised = Send("/api/v1/pumps/1:1/authorize", R"({"litres": 1})", Token);
    EXPECT_EQ(Authorised.Status, 200) << Authorised.Body.dump();
    WaitForPump("1:1", "completed");
    Sim().HangNozzle(1, 1);
    return WaitForSale("1:1", "payable");
  }

  // The next event of Kind with Reason on Events, waiting up to TimeoutMs.
  static std::optional<station::TEvent> NextEvent(station::TEventBus::TSubscription &Events,
                                                  station::TEvent::TKind Kind,
                                                  const std::string &Reason, int TimeoutMs) {
    const auto Deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    station::TEvent Event;
    while (std::chrono::steady_clock::now() < Deadline)
      if (Events.Next(Event, 50) && Event.Kind == Kind && Event.Reason == Reason)
        return Event;
    return std::nullopt;
  }

  std::chrono::seconds LockTimeout{900};
};

TEST_F(Clients, TheTokenNamesTheClientAndItsRoleLimitsWhatItMayDo) {
  const TJson Sale = Sell(Pos1);
  ASSERT_TRUE(Sale.is_object());
  const std::string Path = "/api/v1/sales/" + Sale["id"].dump();
  struct TCase {
    const char *What;
    std::string Path, Body, Token;
    int Status;
    const char *Code; // "" for a success
  };
  const TCase Cases[] = {
      {"a viewer only reads", "/api/v1/stop-all", "", Viewer, 403, "forbidden"},
      {"an unknown token", "/api/v1/stop-all", "", "guess-guess", 401, "unauthorized"},
      {"no token", Path + "/lock", "", "", 401, "unauthorized"},
      {"a body naming another client", Path + "/lock", R"({"client": "pos-1"})", Pos2, 403,
       "client_mismatch"},
      {"the token's client locks without naming itself", Path + "/lock", "", Pos1, 200, ""},
      {"another client cannot take the lock back", Path + "/unlock", "", Pos2, 409,
       "locked_by_other"},
      {"a POS may not force", Path + "/unlock", R"({"force": true})", Pos2, 403, "forbidden"},
      {"the admin may force", Path + "/unlock", R"({"force": true})", Admin, 200, ""},
      {"unlocking what is not locked", Path + "/unlock", "", Pos1, 409, "not_locked"},
      {"the other client locks it now", Path + "/lock", R"({"client": "pos-2"})", Pos2, 200,
       ""},
      {"and clears it", Path + "/clear", "", Pos2, 200, ""},
  };
  for (const TCase &Case : Cases) {
    const TAnswer Answer = Send(Case.Path, Case.Body, Case.Token);
    EXPECT_EQ(Answer.Status, Case.Status) << Case.What << ": " << Answer.Body.dump();
    if (*Case.Code) {
      EXPECT_EQ(Answer.Body["error"], Case.Code) << Case.What;
    }
  }
  const TJson Cleared = Get(Path).Body;
  EXPECT_EQ(Cleared["state"], "cleared");
  EXPECT_EQ(Cleared["locked_by"], "pos-2"); // the name the token gave, in the journal
  // Reads need no token unless read_token is set.
  EXPECT_EQ(Get("/api/v1/pumps").Status, 200);
}

TEST_F(Clients, AReservedPumpTakesCommandsFromItsClientOnlyUntilItsSaleIsCleared) {
  auto Events = Station->Events().Subscribe();
  WaitForPump("1:1", "idle");
  const TAnswer Reserved = Send("/api/v1/pumps/1:1/reserve", "", Pos1);
  ASSERT_EQ(Reserved.Status, 200) << Reserved.Body.dump();
  EXPECT_EQ(Reserved.Body["client"], "pos-1");
  EXPECT_EQ(Reserved.Body["pump"], "1:1");
  ASSERT_TRUE(NextEvent(*Events, station::TEvent::TKind::Reservation, "reserved", 2000));
  EXPECT_EQ(Station->Journal().ActiveReservations().size(), 1u);

  for (const char *Verb : {"authorize", "stop"}) {
    const TAnswer Refused = Send(std::string("/api/v1/pumps/1:1/") + Verb, "", Pos2);
    EXPECT_EQ(Refused.Status, 409) << Verb;
    EXPECT_EQ(Refused.Body["error"], "reserved") << Verb;
  }
  EXPECT_EQ(Send("/api/v1/pumps/1:1/unblock", R"({"code": 1})", Pos2).Body["error"],
            "reserved");
  EXPECT_EQ(Send("/api/v1/pumps/1:1/reserve", "", Pos2).Body["error"], "reserved");
  EXPECT_EQ(Send("/api/v1/pumps/1:1/release", "", Pos2).Body["error"], "reserved");
  // A stop of every pump is never held up by a reservation.
  EXPECT_EQ(Send("/api/v1/stop-all", "", Pos2).Status, 200);

  const TJson Sale = Sell(Pos1);
  ASSERT_TRUE(Sale.is_object());
  const std::string Path = "/api/v1/sales/" + Sale["id"].dump();
  ASSERT_EQ(Send(Path + "/lock", "", Pos1).Status, 200);
  EXPECT_EQ(Get("/api/v1/reservations").Body.size(), 1u);
  ASSERT_EQ(Send(Path + "/clear", "", Pos1).Status, 200);
  // Cleared: the pump is free for anyone.
  ASSERT_TRUE(NextEvent(*Events, station::TEvent::TKind::Reservation, "cleared", 2000));
  EXPECT_TRUE(Get("/api/v1/reservations").Body.empty());
  EXPECT_TRUE(Station->Journal().ActiveReservations().empty());
  EXPECT_EQ(Send("/api/v1/pumps/1:1/reserve", "", Pos2).Status, 200);
  EXPECT_EQ(Send("/api/v1/pumps/1:1/release", "", Pos2).Status, 200);
  EXPECT_EQ(Send("/api/v1/pumps/1:1/release", "", Pos2).Body["error"], "wrong_state");
}

TEST_F(Clients, AReservationEndsWhenItsTimeIsUpAndSurvivesARestartUntilThen) {
  auto Events = Station->Events().Subscribe();
  ASSERT_EQ(Send("/api/v1/pumps/1:2/reserve", R"({"seconds": 600})", Pos1).Status, 200);
  ASSERT_EQ(Send("/api/v1/pumps/1:1/reserve", R"({"seconds": 2})", Pos1).Status, 200);
  RestartService();
  const TJson Kept = Get("/api/v1/reservations").Body;
  ASSERT_EQ(Kept.size(), 2u);
  EXPECT_EQ(Kept[1]["pump"], "1:2");
  EXPECT_EQ(Kept[1]["client"], "pos-1");
  EXPECT_EQ(Send("/api/v1/pumps/1:2/stop", "", Pos2).Body["error"], "reserved");
  Events = Station->Events().Subscribe();
  const auto Expired = NextEvent(*Events, station::TEvent::TKind::Reservation, "expired", 5000);
  ASSERT_TRUE(Expired);
  EXPECT_EQ(Expired->Reservation.Pump, 1);
  EXPECT_EQ(Send("/api/v1/pumps/1:1/stop", "", Pos2).Status, 200);
  EXPECT_EQ(Send("/api/v1/pumps/1:1/reserve", R"({"seconds": 0})", Pos2).Body["error"],
            "bad_value");
}

class ShortLocks : public Clients {
protected:
  ShortLocks() { LockTimeout = 1s; }
};

TEST_F(ShortLocks, ALockNobodyClearsGoesBackToPayable) {
  const TJson Sale = Sell(Pos1);
  ASSERT_TRUE(Sale.is_object());
  auto Events = Station->Events().Subscribe();
  ASSERT_EQ(Send("/api/v1/sales/" + Sale["id"].dump() + "/lock", "", Pos1).Status, 200);
  const auto Expired = NextEvent(*Events, station::TEvent::TKind::Sale, "lock_expired", 5000);
  ASSERT_TRUE(Expired);
  EXPECT_EQ(Expired->Sale.Id, Sale["id"].get<std::int64_t>());
  EXPECT_EQ(Expired->Sale.State, station::TSaleState::Payable);
  EXPECT_EQ(Get("/api/v1/sales/" + Sale["id"].dump()).Body["state"], "payable");
  // Another till may take it now.
  EXPECT_EQ(Send("/api/v1/sales/" + Sale["id"].dump() + "/lock", "", Pos2).Status, 200);
}

TEST_F(Clients, ARepeatedKeyGetsTheFirstAnswerAndActsOnce) {
  WaitForPump("1:1", "idle");
  ASSERT_TRUE(Sim().LiftNozzle(1, 1, 1));
  WaitForPump("1:1", "calling");
  const httplib::Headers Key{{"Idempotency-Key", "till-7-0001"}};
  const TAnswer First = Send("/api/v1/pumps/1:1/authorize", R"({"litres": 1})", Pos1, Key);
  ASSERT_EQ(First.Status, 200) << First.Body.dump();
  // Acted on again, the pump (authorised now, or fuelling) would refuse it: the
  // repeat's 200 is the first answer, not a second authorisation.
  const TAnswer Again = Send("/api/v1/pumps/1:1/authorize", R"({"litres": 1})", Pos1, Key);
  EXPECT_EQ(Again.Status, 200);
  EXPECT_EQ(Again.Body, First.Body);
  EXPECT_NE(Again.Headers.find("Idempotent-Replayed"), Again.Headers.end());
  const TAnswer Unkeyed = Send("/api/v1/pumps/1:1/authorize", R"({"litres": 1})", Pos1);
  EXPECT_EQ(Unkeyed.Status, 409);

  struct TCase {
    const char *What;
    std::string Body, Token, Key;
    int Status;
    const char *Code;
  };
  const TCase Cases[] = {
      {"the same key for another request", R"({"litres": 2})", Pos1, "till-7-0001", 422,
       "idempotency_key_reused"},
      {"a key is the client's own: another client's same key is new", R"({"litres": 1})", Pos2,
       "till-7-0001", 409, "wrong_state"},
      {"a key too long", "", Pos1, std::string(129, 'k'), 400, "bad_idempotency_key"},
      {"a key with a space", "", Pos1, "two words", 400, "bad_idempotency_key"},
  };
  for (const TCase &Case : Cases) {
    const TAnswer Answer = Send("/api/v1/pumps/1:1/authorize", Case.Body, Case.Token,
                                {{"Idempotency-Key", Case.Key}});
    EXPECT_EQ(Answer.Status, Case.Status) << Case.What << ": " << Answer.Body.dump();
    EXPECT_EQ(Answer.Body["error"], Case.Code) << Case.What;
  }
  WaitForPump("1:1", "completed");
  Sim().HangNozzle(1, 1);
  ASSERT_TRUE(WaitForSale("1:1", "payable").is_object());
  EXPECT_EQ(Get("/api/v1/sales").Body.size(), 1u);

  // The answer is in the journal: a retry after a restart is safe too.
  RestartService();
  const TAnswer AfterRestart =
      Send("/api/v1/pumps/1:1/authorize", R"({"litres": 1})", Pos1, Key);
  EXPECT_EQ(AfterRestart.Status, 200);
  EXPECT_EQ(AfterRestart.Body, First.Body);
  WaitForPump("1:1", "idle");
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Get("/api/v1/pumps/1:1").Body["state"], "idle") << "nothing was authorised again";
  EXPECT_EQ(Get("/api/v1/sales").Body.size(), 1u);
}

class GuardedReads : public Clients {
protected:
  void Adjust(station::TStationConfig &Config) override {
    Clients::Adjust(Config);
    Config.ReadToken = true;
  }
};

TEST_F(GuardedReads, ReadsNeedAnyClientsTokenButTheDashboardsFilesDoNot) {
  const auto Status = [&](const std::string &Path, const std::string &Token) {
    httplib::Headers Headers;
    if (!Token.empty())
      Headers.emplace("Authorization", "Bearer " + Token);
    const auto Result = Client->Get(Path.c_str(), Headers);
    return Result ? Result->status : 0;
  };
  EXPECT_EQ(Status("/api/v1/pumps", ""), 401);
  EXPECT_EQ(Status("/metrics", ""), 401);
  EXPECT_EQ(Status("/api/v1/pumps", "wrong-token"), 401);
  EXPECT_EQ(Status("/api/v1/pumps", Viewer), 200);
  EXPECT_EQ(Status("/api/v1/sales", Pos1), 200);
  EXPECT_EQ(Status("/metrics", Admin), 200);
  // A browser's EventSource cannot send headers: the token may come as a parameter.
  EXPECT_EQ(Status(std::string("/api/v1/station?access_token=") + Viewer, ""), 200);
  EXPECT_EQ(Status("/", ""), 200);
}

} // namespace
} // namespace de30::test
