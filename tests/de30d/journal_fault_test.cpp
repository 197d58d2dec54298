// A journal that refuses writes, held by another program or full, against the
// real server: nothing stops, commands that need it are refused with 503
// "journal", the condition shows, and it clears by itself.

#include "service_fixture.hpp"

#include <sqlite3.h>

#include <chrono>
#include <thread>

namespace de30::test {
namespace {

using namespace std::chrono_literals;

class JournalFaults : public TServiceTest {
protected:
  std::string Token() const override { return ""; }

  // The journal's condition as GET /api/v1/station tells it.
  TJson Condition() { return Get("/api/v1/station").Body["journal"]; }
  std::string Metrics() {
    const auto Result = Client->Get("/metrics");
    return Result ? Result->body : "";
  }
  std::uint64_t Polls() {
    std::uint64_t All = 0;
    for (const auto &Line : Get("/api/v1/lines").Body)
      All += Line["polls"].get<std::uint64_t>();
    return All;
  }
};

TEST_F(JournalFaults, AJournalHeldByAnotherProgramRefusesCommandsAndNothingElse) {
  WaitForPump("1:1", "idle");
  ASSERT_TRUE(Sim().LiftNozzle(1, 1, 1));
  WaitForPump("1:1", "calling");
  sqlite3 *Other = nullptr;
  ASSERT_EQ(sqlite3_open(Setup.Journal.c_str(), &Other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(Other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

  const auto Asked = std::chrono::steady_clock::now();
  const TReply Refused = Post("/api/v1/pumps/1:1/authorize", "");
  const auto Took = std::chrono::steady_clock::now() - Asked;
  EXPECT_EQ(Refused.Status, 503) << Refused.Body.dump();
  EXPECT_EQ(Refused.Body["error"], "journal");
  EXPECT_LT(Took, 3s) << "a command waits for the journal a bounded time";
  // Nothing was authorised without its sale on record.
  EXPECT_EQ(Get("/api/v1/pumps/1:1").Body["state"], "calling");
  EXPECT_EQ(Post("/api/v1/sales/1/lock", R"({"client": "pos-1"})").Status, 503);
  // A stop needs no journal, and polling goes on.
  EXPECT_EQ(Post("/api/v1/stop-all", "").Status, 200);
  const auto Before = Polls();
  std::this_thread::sleep_for(500ms);
  EXPECT_GT(Polls(), Before);
  const TJson Failing = Condition();
  EXPECT_EQ(Failing["ok"], false);
  EXPECT_TRUE(Failing["error"].is_string());
  EXPECT_NE(Metrics().find("de30_journal_failing 1"), std::string::npos);

  sqlite3_exec(Other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(Other);
  // The station's own writes (a second's housekeeping) find it writable again.
  const auto Deadline = std::chrono::steady_clock::now() + 5s;
  while (Condition()["ok"] != true && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Condition()["ok"], true);
  EXPECT_NE(Metrics().find("de30_journal_failing 0"), std::string::npos);
  const TReply Authorised = Post("/api/v1/pumps/1:1/authorize", "");
  EXPECT_EQ(Authorised.Status, 200) << Authorised.Body.dump();
}

class FullJournal : public JournalFaults {
protected:
  // No room to grow beyond what the journal holds when it opens.
  void Adjust(station::TStationConfig &Config) override { Config.JournalMaxBytes = 1; }
};

TEST_F(FullJournal, AFullJournalKeepsTheServiceUpAndSaysSo) {
  WaitForPump("1:1", "idle");
  // Each kept answer takes room; the journal fills within a few hundred.
  int Refused = 0;
  for (int I = 0; I < 2000 && Refused == 0; ++I) {
    httplib::Headers Key{
        {"Idempotency-Key", "fill-" + std::to_string(I) + std::string(100, 'x')}};
    const auto Result = Client->Post("/api/v1/stop-all", Key, "", "application/json");
    ASSERT_TRUE(Result);
    if (Result->status == 503) {
      EXPECT_EQ(TJson::parse(Result->body)["error"], "journal");
      ++Refused;
    } else
      ASSERT_EQ(Result->status, 200) << Result->body;
  }
  ASSERT_EQ(Refused, 1) << "the journal never filled";
  EXPECT_EQ(Condition()["ok"], false);
  EXPECT_NE(Condition()["error"].get<std::string>().find("full"), std::string::npos);
  // The service stays up: reads, polls and stops go on, a sale cannot begin.
  const auto Before = Polls();
  std::this_thread::sleep_for(500ms);
  EXPECT_GT(Polls(), Before);
  EXPECT_EQ(Post("/api/v1/stop-all", "").Status, 200);
  // A sale begins only on record: a step that still fits in the room left may
  // open one, one that does not is refused and the pump stays calling.
  ASSERT_TRUE(Sim().LiftNozzle(1, 1, 1));
  WaitForPump("1:1", "calling");
  const TReply Authorise = Post("/api/v1/pumps/1:1/authorize", "");
  const TJson Open = Get("/api/v1/sales?state=open").Body;
  if (Authorise.Status == 200) {
    ASSERT_EQ(Open.size(), 1u);
    EXPECT_EQ(Open[0]["pump"], "1:1");
  } else {
    EXPECT_EQ(Authorise.Status, 503) << Authorise.Body.dump();
    EXPECT_EQ(Authorise.Body["error"], "journal");
    EXPECT_TRUE(Open.empty());
    EXPECT_EQ(Get("/api/v1/pumps/1:1").Body["state"], "calling");
  }
  // Reaching the limit is not cleared by a write that happened to fit.
  EXPECT_EQ(Condition()["ok"], false);
}

} // namespace
} // namespace de30::test
