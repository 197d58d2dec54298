// The event stream across lost connections: a client that reconnects with
// Last-Event-ID gets every event it missed, in order and once; when they are gone,
// or the id is of another run, it gets "reset" and reads the state again.
#include "event_stream.hpp"
#include "service_fixture.hpp"
#include "station/journal.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace de30;
using namespace de30::test;

struct TFrame {
  std::string Id;
  std::string Kind;
  std::string Data;
};

// Reads the event stream, sending Last-Event-ID when given one, until destroyed.
class TResumingReader {
public:
  TResumingReader(int Port, const std::string &LastEventId) : Http("127.0.0.1", Port) {
    Http.set_read_timeout(std::chrono::seconds(10));
    httplib::Headers Headers;
    if (!LastEventId.empty())
      Headers.emplace("Last-Event-ID", LastEventId);
    Reader = std::thread([this, Headers] {
      Http.Get("/api/v1/events", Headers, [this](const char *Data, size_t Size) {
        std::lock_guard Lock(Guard);
        Text.append(Data, Size);
        return !Quit.load();
      });
    });
  }
  ~TResumingReader() {
    Quit = true;
    Reader.join();
  }
  // The complete frames so far; comments (greeting, heartbeats) left out.
  std::vector<TFrame> Frames() {
    std::string Copy;
    {
      std::lock_guard Lock(Guard);
      Copy = Text;
    }
    std::vector<TFrame> Found;
    std::size_t From = 0;
    for (auto End = Copy.find("\n\n"); End != std::string::npos;
         From = End + 2, End = Copy.find("\n\n", From)) {
      TFrame Frame;
      const std::string Block = Copy.substr(From, End - From);
      std::size_t Line = 0;
      while (Line < Block.size()) {
        auto Stop = Block.find('\n', Line);
        if (Stop == std::string::npos)
          Stop = Block.size();
        const std::string Field = Block.substr(Line, Stop - Line);
        if (Field.rfind("id: ", 0) == 0)
          Frame.Id = Field.substr(4);
        else if (Field.rfind("event: ", 0) == 0)
          Frame.Kind = Field.substr(7);
        else if (Field.rfind("data: ", 0) == 0)
          Frame.Data = Field.substr(6);
        Line = Stop + 1;
      }
      if (!Frame.Kind.empty())
        Found.push_back(Frame);
    }
    return Found;
  }
  // Waits until some frame holds Part; the frames then.
  std::vector<TFrame> WaitFor(const std::string &Part, int TimeoutMs = 10000) {
    const auto Deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
      auto Got = Frames();
      for (const auto &Frame : Got)
        if (Frame.Kind.find(Part) != std::string::npos ||
            Frame.Data.find(Part) != std::string::npos)
          return Got;
      if (std::chrono::steady_clock::now() >= Deadline)
        return Got;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

private:
  httplib::Client Http;
  std::mutex Guard;
  std::string Text;
  std::atomic<bool> Quit{false};
  std::thread Reader;
};

std::uint64_t SequenceOf(const std::string &Id) {
  const auto Parsed = service::ParseEventId(Id);
  return Parsed ? Parsed->Sequence : 0;
}

class ResumedStream : public TServiceTest {
protected:
  void SetUp() override {
    TServiceTest::SetUp();
    // As de30d does at start.
    Run = static_cast<std::uint64_t>(Station->Journal().BeginRun());
    Station->Events().SetRun(Run);
  }
  // An event of this test's own: the health of a line the station does not have,
  // told apart by its text.
  void PublishMarker(const std::string &Text) {
    station::TEvent Event;
    Event.Kind = station::TEvent::TKind::Line;
    Event.LineHealth.Line = 9;
    Event.LineHealth.LastError = Text;
    Station->Events().Publish(std::move(Event));
  }
  std::string Id(std::uint64_t Sequence) const {
    return std::to_string(Run) + "-" + std::to_string(Sequence);
  }
  std::uint64_t Run = 0;
};

TEST_F(ResumedStream, EventsPublishedWhileTheClientWasAwayAreReplayedInOrderAndOnce) {
  WaitForPump("2:3", "idle");
  std::string LastSeen;
  {
    TResumingReader First(Server->Port(), "");
    PublishMarker("before the break");
    const auto Frames = First.WaitFor("before the break");
    ASSERT_FALSE(Frames.empty());
    LastSeen = Frames.back().Id;
  }
  ASSERT_EQ(service::ParseEventId(LastSeen)->Run, Run) << LastSeen;

  // Away: the station goes on (a nozzle is lifted), and so do markers, many.
  ASSERT_TRUE(Sim().LiftNozzle(2, 3, 3));
  WaitForPump("2:3", "calling");
  constexpr int Missed = 3000;
  for (int Index = 0; Index < Missed; ++Index)
    PublishMarker("missed " + std::to_string(Index));

  TResumingReader Again(Server->Port(), LastSeen);
  const auto Frames = Again.WaitFor("missed " + std::to_string(Missed - 1));
  ASSERT_FALSE(Frames.empty());
  // Every sequence after the last one seen, each once, in publishing order.
  std::uint64_t Expected = SequenceOf(LastSeen) + 1;
  int NextMarker = 0;
  bool Calling = false;
  for (const auto &Frame : Frames) {
    ASSERT_NE(Frame.Kind, "reset") << Frame.Data;
    ASSERT_EQ(Frame.Id, Id(Expected)) << "after " << Id(Expected - 1);
    ++Expected;
    const TJson Data = TJson::parse(Frame.Data);
    if (Frame.Kind == "pump" && Data["id"] == "2:3" && Data["state"] == "calling")
      Calling = true;
    if (Frame.Kind == "line" && Data["line"] == 9) {
      EXPECT_EQ(Data["last_error"], "missed " + std::to_string(NextMarker));
      ++NextMarker;
    }
  }
  EXPECT_EQ(NextMarker, Missed);
  EXPECT_TRUE(Calling) << "the pump event of the break was not replayed";
  // And the stream goes on live after the replay.
  PublishMarker("live again");
  const auto Later = Again.WaitFor("live again");
  bool Live = false;
  for (std::size_t Index = 0; Index < Later.size(); ++Index) {
    EXPECT_EQ(Later[Index].Id, Id(SequenceOf(LastSeen) + 1 + Index));
    Live = Live || Later[Index].Data.find("live again") != std::string::npos;
  }
  EXPECT_TRUE(Live);
}

TEST_F(ResumedStream, AnIdFromAnotherRunGetsAResetWithThisRunsId) {
  PublishMarker("this run");
  TResumingReader Stale(Server->Port(), std::to_string(Run - 1) + "-1");
  const auto Frames = Stale.WaitFor("reset");
  ASSERT_FALSE(Frames.empty());
  EXPECT_EQ(Frames.front().Kind, "reset");
  // Its id is where the client stands once it has read the state again.
  const auto Reset = service::ParseEventId(Frames.front().Id);
  ASSERT_TRUE(Reset);
  EXPECT_EQ(Reset->Run, Run);
  EXPECT_GE(Reset->Sequence, 1u);
  EXPECT_NE(Frames.front().Data.find("another run"), std::string::npos) << Frames.front().Data;
  // Only what comes after the reset follows: nothing of the old run's numbering.
  PublishMarker("after the reset");
  const auto After = Stale.WaitFor("after the reset");
  ASSERT_GE(After.size(), 2u);
  for (std::size_t Index = 1; Index < After.size(); ++Index)
    EXPECT_EQ(After[Index].Id, Id(Reset->Sequence + Index));
}

TEST_F(ResumedStream, AnIdThisRunNeverPublishedOrCannotBeReadGetsAReset) {
  for (const std::string &Given : {Id(1000000), std::string("1234"), std::string("x-y")}) {
    TResumingReader Odd(Server->Port(), Given);
    const auto Frames = Odd.WaitFor("reset");
    ASSERT_FALSE(Frames.empty()) << Given;
    EXPECT_EQ(Frames.front().Kind, "reset") << Given;
  }
}

TEST_F(ResumedStream, AnIdOlderThanTheEventsKeptGetsAResetAndOneStillKeptResumesWhole) {
  PublishMarker("old");
  const std::uint64_t Old = Station->Events().Published();
  for (std::size_t Index = 0; Index <= station::TEventBus::Kept; ++Index)
    PublishMarker("filler");
  {
    // Old is gone now: the event just after it was dropped from what is kept.
    TResumingReader TooOld(Server->Port(), Id(Old));
    const auto Frames = TooOld.WaitFor("reset");
    ASSERT_FALSE(Frames.empty());
    EXPECT_EQ(Frames.front().Kind, "reset");
    EXPECT_NE(Frames.front().Data.find("no longer kept"), std::string::npos)
        << Frames.front().Data;
  }
  // Near the far end of what is kept, with room for the station's own events
  // that come meanwhile: everything after it, nearly Kept events, once each.
  const std::uint64_t Near = Station->Events().Published() - station::TEventBus::Kept + 100;
  TResumingReader Long(Server->Port(), Id(Near));
  PublishMarker("next");
  const auto Frames = Long.WaitFor("next", 30000);
  ASSERT_GE(Frames.size(), station::TEventBus::Kept - 100);
  for (std::size_t Index = 0; Index < Frames.size(); ++Index)
    ASSERT_EQ(Frames[Index].Id, Id(Near + 1 + Index)) << Frames[Index].Kind;
  // Then live: the event published after the request came too (the station's
  // own may follow it).
  EXPECT_TRUE(std::any_of(Frames.begin(), Frames.end(), [](const TFrame &Frame) {
    return Frame.Data.find("\"next\"") != std::string::npos;
  }));
}

TEST_F(ResumedStream, TheStateReadsCarryTheIdInTheStreamsForm) {
  PublishMarker("before the read");
  const auto Published = Station->Events().Published();
  const auto Read = Client->Get("/api/v1/pumps");
  ASSERT_TRUE(Read);
  EXPECT_EQ(Read->get_header_value_count("De30-Event-Id"), 1u);
  const auto Header = Read->get_header_value("De30-Event-Id");
  const auto Parsed = service::ParseEventId(Header);
  ASSERT_TRUE(Parsed) << Header;
  EXPECT_EQ(Parsed->Run, Run);
  EXPECT_GE(Parsed->Sequence, Published);
}

TEST(EventRuns, EachStartHasARunNumberOneAboveTheLastKeptAcrossReopening) {
  TTempDir Dir;
  const auto File = Dir.Path() / "journal.db";
  {
    station::TJournal Book(File);
    EXPECT_EQ(Book.BeginRun(), 1);
    EXPECT_EQ(Book.BeginRun(), 2);
  }
  station::TJournal Again(File);
  EXPECT_EQ(Again.BeginRun(), 3);
  EXPECT_EQ(Again.Settings().SchemaVersion, station::TJournal::SchemaVersion);
}

TEST(EventId, IsTheRunAndTheSequenceAndNothingElse) {
  const auto Id = service::ParseEventId("7-1234");
  ASSERT_TRUE(Id);
  EXPECT_EQ(Id->Run, 7u);
  EXPECT_EQ(Id->Sequence, 1234u);
  for (const char *Bad : {"", "1234", "7-", "-3", "7-12x", "x-1", "7--1", " 7-1", "7-1-2"})
    EXPECT_FALSE(service::ParseEventId(Bad)) << Bad;
}

} // namespace
