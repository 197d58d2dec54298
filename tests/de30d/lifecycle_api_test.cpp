// The sale lifecycle through de30d's interface, over real sockets: a pre-paid
// sale's prepayment and refund in the sale object, fuel without a sale in GET
// /api/v1/alarms and as the stream's "alarm" event, and a stream opened again
// after the last id it saw (the query form a page uses) that misses nothing.
#include "service_fixture.hpp"

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
  TJson Data;
};

// Reads the event stream at Path until destroyed.
class TStreamReader {
public:
  TStreamReader(int Port, const std::string &Path) : Http("127.0.0.1", Port) {
    Http.set_read_timeout(std::chrono::seconds(10));
    Reader = std::thread([this, Path] {
      Http.Get(Path, [this](const char *Data, size_t Size) {
        std::lock_guard Lock(Guard);
        Text.append(Data, Size);
        return !Quit.load();
      });
    });
  }
  ~TStreamReader() {
    Quit = true;
    Reader.join();
  }
  // Whether the service has greeted the stream: it is subscribed from then on.
  bool Greeted(int TimeoutMs = 10000) {
    const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    do {
      {
        std::lock_guard Lock(Guard);
        if (Text.find(": de30d events\n") != std::string::npos)
          return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < Until);
    return false;
  }
  // The complete frames so far (comments left out).
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
      std::size_t Line = From;
      while (Line < End) {
        const auto Stop = std::min(Copy.find('\n', Line), End);
        const std::string Field = Copy.substr(Line, Stop - Line);
        if (Field.rfind("id: ", 0) == 0)
          Frame.Id = Field.substr(4);
        else if (Field.rfind("event: ", 0) == 0)
          Frame.Kind = Field.substr(7);
        else if (Field.rfind("data: ", 0) == 0)
          Frame.Data = TJson::parse(Field.substr(6), nullptr, false);
        Line = Stop + 1;
      }
      if (!Frame.Kind.empty())
        Found.push_back(std::move(Frame));
    }
    return Found;
  }
  // The first frame of Kind, waiting for it; an empty frame when none came.
  TFrame First(const std::string &Kind, int TimeoutMs = 10000) {
    const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    do {
      for (auto &Frame : Frames())
        if (Frame.Kind == Kind)
          return Frame;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < Until);
    return {};
  }

private:
  httplib::Client Http;
  std::mutex Guard;
  std::string Text;
  std::atomic<bool> Quit{false};
  std::thread Reader;
};

class PumpLifecycle : public TServiceTest {
protected:
  // A customer pours on Pump in manual mode, without the station, while the
  // station shows the pump Shown (a fill takes its time, seen by many polls):
  // what the simulated pump measured.
  sim::TPumpView PourManually(int Line, int Pump, int Nozzle, const std::string &Shown) {
    Sim().SetManual(Line, Pump, true);
    EXPECT_TRUE(Sim().LiftNozzle(Line, Pump, Nozzle));
    const std::string Id = std::to_string(Line) + ":" + std::to_string(Pump);
    EXPECT_EQ(WaitForPump(Id, Shown)["state"], Shown);
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (Sim().View(Line, Pump).FillVolume < 100 && std::chrono::steady_clock::now() < Until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Sim().HangNozzle(Line, Pump);
    Sim().SetManual(Line, Pump, false);
    return Sim().View(Line, Pump);
  }
  // GET /api/v1/alarms until it holds Count alarms.
  TReply WaitForAlarms(std::size_t Count, const std::string &Query = "") {
    TReply Alarms;
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
      Alarms = Get("/api/v1/alarms" + Query);
      if (Alarms.Status == 200 && Alarms.Body.size() >= Count)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < Until);
    return Alarms;
  }
};

TEST_F(PumpLifecycle, ThePrePaidSaleCarriesWhatWasPaidAndWhatGoesBack) {
  WaitForPump("1:1", "idle");
  // 20.00 at 47.20 buys 0.42 litres (rounded down), which cost 19.82.
  TReply Authorised = Post("/api/v1/pumps/1:1/authorize", R"({"money": 20})");
  ASSERT_EQ(Authorised.Status, 200) << Authorised.Body.dump();
  const TJson Open = Get("/api/v1/sales?state=open").Body;
  ASSERT_EQ(Open.size(), 1u);
  EXPECT_DOUBLE_EQ(Open[0]["prepaid"].get<double>(), 20.0);
  EXPECT_DOUBLE_EQ(Open[0]["refund"].get<double>(), 0.0);
  ASSERT_TRUE(Sim().LiftNozzle(1, 1, 1));
  const TJson Sale = WaitForSale("1:1", "payable");
  ASSERT_TRUE(Sale.is_object());
  EXPECT_DOUBLE_EQ(Sale["amount"].get<double>(), 19.82);
  EXPECT_DOUBLE_EQ(Sale["prepaid"].get<double>(), 20.0);
  EXPECT_DOUBLE_EQ(Sale["refund"].get<double>(), 0.18);
  EXPECT_EQ(Sale["flags"], TJson::array());
  // The same from the sale's own address, as the journal holds it.
  const TReply One = Get("/api/v1/sales/" + std::to_string(Sale["id"].get<int>()));
  ASSERT_EQ(One.Status, 200);
  EXPECT_EQ(One.Body, Sale);
}

TEST_F(PumpLifecycle, FuelWithoutASaleIsListedNewestFirstAndStreamed) {
  WaitForPump("1:2", "idle");
  WaitForPump("1:1", "idle");
  TStreamReader Stream(Server->Port(), "/api/v1/events");
  ASSERT_TRUE(Stream.Greeted());
  const sim::TPumpView First = PourManually(1, 2, 2, "error");
  const TReply One = WaitForAlarms(1);
  ASSERT_EQ(One.Status, 200) << One.Body.dump();
  ASSERT_EQ(One.Body.size(), 1u);
  const TJson Alarm = One.Body[0];
  EXPECT_GT(Alarm["id"].get<int>(), 0);
  EXPECT_EQ(Alarm["pump"], "1:2");
  EXPECT_EQ(Alarm["nozzle"], 2);
  EXPECT_DOUBLE_EQ(Alarm["volume"].get<double>(), First.FillVolume / 100.0);
  EXPECT_DOUBLE_EQ(Alarm["amount"].get<double>(), First.FillAmount / 100.0);
  EXPECT_EQ(Alarm["kind"], "totals_moved");
  EXPECT_TRUE(Alarm["at"].is_string());
  // The event carries the same object.
  const TFrame Event = Stream.First("alarm");
  EXPECT_EQ(Event.Data, Alarm);

  PourManually(1, 1, 1, "calling");
  const TReply Two = WaitForAlarms(2);
  ASSERT_EQ(Two.Body.size(), 2u);
  EXPECT_EQ(Two.Body[0]["pump"], "1:1") << "newest first";
  EXPECT_EQ(Two.Body[1], Alarm);
  const TReply Limited = Get("/api/v1/alarms?limit=1");
  ASSERT_EQ(Limited.Status, 200);
  EXPECT_EQ(Limited.Body, TJson::array({Two.Body[0]}));
  for (const char *Bad : {"?limit=0", "?limit=10001", "?limit=x", "?limit=-1", "?pump=1:1"}) {
    const TReply Refused = Get(std::string("/api/v1/alarms") + Bad);
    EXPECT_EQ(Refused.Status, 400) << Bad;
    EXPECT_EQ(Refused.Body["error"], "bad_query") << Bad;
  }
}

// A page cannot set Last-Event-ID on a stream it opens itself: it names the id
// in the query, and gets what it missed, or a reset when that is gone.
TEST_F(PumpLifecycle, AStreamOpenedAfterTheLastIdItSawMissesNothing) {
  WaitForPump("1:2", "idle");
  std::string LastSeen;
  {
    TStreamReader Before(Server->Port(), "/api/v1/events");
    ASSERT_TRUE(Before.Greeted());
    ASSERT_TRUE(Sim().LiftNozzle(1, 2, 1));
    const TFrame Calling = Before.First("pump");
    ASSERT_FALSE(Calling.Id.empty());
    LastSeen = Before.Frames().back().Id;
  }
  Sim().HangNozzle(1, 2);
  const sim::TPumpView Poured = PourManually(1, 2, 2, "error");
  ASSERT_EQ(WaitForAlarms(1).Body.size(), 1u);
  TStreamReader After(Server->Port(), "/api/v1/events?last_event_id=" + LastSeen);
  const TFrame Alarm = After.First("alarm");
  ASSERT_FALSE(Alarm.Id.empty()) << "the alarm raised while away is handed over";
  EXPECT_DOUBLE_EQ(Alarm.Data["volume"].get<double>(), Poured.FillVolume / 100.0);
  const auto Frames = After.Frames();
  for (const auto &Frame : Frames)
    EXPECT_NE(Frame.Kind, "reset");
  const auto Sequence = [](const std::string &Id) {
    return std::stoull(Id.substr(Id.find('-') + 1));
  };
  ASSERT_FALSE(Frames.empty());
  EXPECT_EQ(Sequence(Frames.front().Id), Sequence(LastSeen) + 1);

  const std::string Run = LastSeen.substr(0, LastSeen.find('-'));
  TStreamReader Stale(Server->Port(), "/api/v1/events?last_event_id=" +
                                          std::to_string(std::stoull(Run) + 1) + "-1");
  EXPECT_FALSE(Stale.First("reset").Id.empty()) << "an id of another run";
}

} // namespace
