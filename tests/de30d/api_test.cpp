// de30d end to end: HTTP requests through real sockets to a station on simulated
// pumps, with its journal on a real file.
#include "service_fixture.hpp"
#include "station/config.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <fstream>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
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

// A connection from a chosen loopback address (127.0.0.0/8 is all this machine's),
// sending exactly the bytes a test gives: the headers a browser, curl or an
// attacker would send.
class TRawClient {
public:
  TRawClient(int Port, const std::string &From = "127.0.0.1") {
    Fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in Local{};
    Local.sin_family = AF_INET;
    ::inet_pton(AF_INET, From.c_str(), &Local.sin_addr);
    sockaddr_in Remote{};
    Remote.sin_family = AF_INET;
    Remote.sin_port = htons(static_cast<std::uint16_t>(Port));
    ::inet_pton(AF_INET, "127.0.0.1", &Remote.sin_addr);
    Connected = ::bind(Fd, reinterpret_cast<sockaddr *>(&Local), sizeof Local) == 0 &&
                ::connect(Fd, reinterpret_cast<sockaddr *>(&Remote), sizeof Remote) == 0;
  }
  ~TRawClient() { ::close(Fd); }
  TRawClient(const TRawClient &) = delete;
  TRawClient &operator=(const TRawClient &) = delete;

  bool Send(const std::string &Text) {
    return ::send(Fd, Text.data(), Text.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(Text.size());
  }
  // Reads until Until appears, the peer closes, or Ms pass; what was read.
  std::string Read(int Ms, const std::string &Until = "") {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    while (!PeerClosed && (Until.empty() || Got.find(Until) == std::string::npos)) {
      const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            Deadline - std::chrono::steady_clock::now())
                            .count();
      pollfd Poll{Fd, POLLIN, 0};
      if (Left <= 0 || ::poll(&Poll, 1, static_cast<int>(Left)) <= 0)
        break;
      char Buffer[4096];
      const ssize_t N = ::recv(Fd, Buffer, sizeof Buffer, 0);
      if (N <= 0)
        PeerClosed = true;
      else
        Got.append(Buffer, static_cast<std::size_t>(N));
    }
    return Got;
  }
  int Status() const { return Got.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(Got.c_str() + 9) : 0; }
  TJson Body() const {
    const auto Start = Got.find("\r\n\r\n");
    return Start == std::string::npos ? TJson()
                                      : TJson::parse(Got.substr(Start + 4), nullptr, false);
  }
  std::string Header(const std::string &Name) const {
    const auto At = Got.find("\r\n" + Name + ": ");
    if (At == std::string::npos)
      return "";
    const auto From = At + Name.size() + 4;
    return Got.substr(From, Got.find("\r\n", From) - From);
  }

  int Fd = -1;
  bool Connected = false;
  bool PeerClosed = false;
  std::string Got;
};

std::string Replace(std::string Text, const std::string &From, const std::string &To) {
  for (auto At = Text.find(From); At != std::string::npos; At = Text.find(From, At + To.size()))
    Text.replace(At, From.size(), To);
  return Text;
}

TEST_F(Service, BrowserAndCurlRequestsAreCheckedBeforeTheyAreRead) {
  struct TCase {
    std::string Request; // {HOST} is the service's address, {PORT} its port
    int Status;
    const char *Code; // "" for an answer that is not an error
    const char *Allow = "";
  };
  const std::string Token = "Authorization: Bearer s3cret\r\n";
  const TCase Cases[] = {
      // curl -X POST URL: no Content-Length, no body; answered at once.
      {"POST /api/v1/stop-all HTTP/1.1\r\nHost: {HOST}\r\n" + Token + "\r\n", 200, ""},
      {"POST /api/v1/pumps/1:1/stop HTTP/1.1\r\nHost: {HOST}\r\n" + Token + "\r\n", 200, ""},
      {"POST /api/v1/stop-all HTTP/1.1\r\nHost: {HOST}\r\n" + Token +
           "Content-Type: application/json; charset=utf-8\r\nContent-Length: 2\r\n\r\n{}",
       200, ""},
      // A body must say it is JSON: a form post of another site must not pass.
      {"POST /api/v1/stop-all HTTP/1.1\r\nHost: {HOST}\r\n" + Token +
           "Content-Type: text/plain\r\nContent-Length: 2\r\n\r\n{}",
       415, "unsupported_media_type"},
      {"POST /api/v1/stop-all HTTP/1.1\r\nHost: {HOST}\r\n" + Token +
           "Content-Length: 2\r\n\r\n{}",
       415, "unsupported_media_type"},
      {"PUT /api/v1/prices HTTP/1.1\r\nHost: {HOST}\r\n" + Token +
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 9\r\n\r\n"
           "{\"1\": 40}",
       415, "unsupported_media_type"},
      // A page of another origin may not command; the service's own may.
      {"POST /api/v1/stop-all HTTP/1.1\r\nHost: {HOST}\r\nOrigin: http://evil.example\r\n" +
           Token + "\r\n",
       403, "forbidden_origin"},
      {"POST /api/v1/stop-all HTTP/1.1\r\nHost: {HOST}\r\nOrigin: null\r\n" + Token + "\r\n",
       403, "forbidden_origin"},
      {"POST /api/v1/stop-all HTTP/1.1\r\nHost: {HOST}\r\nOrigin: http://127.0.0.1:1\r\n" +
           Token + "\r\n",
       403, "forbidden_origin"},
      {"GET /api/v1/events HTTP/1.1\r\nHost: {HOST}\r\nOrigin: http://evil.example\r\n\r\n",
       403, "forbidden_origin"},
      {"POST /api/v1/stop-all HTTP/1.1\r\nHost: {HOST}\r\nOrigin: http://{HOST}\r\n" + Token +
           "\r\n",
       200, ""},
      // Reads of another origin are the browser's to hide; they are answered.
      {"GET /api/v1/pumps HTTP/1.1\r\nHost: {HOST}\r\nOrigin: http://evil.example\r\n\r\n", 200,
       ""},
      // A name the service does not have (DNS rebinding), or none at all.
      {"GET /api/v1/pumps HTTP/1.1\r\nHost: evil.example:{PORT}\r\n\r\n", 421,
       "forbidden_host"},
      {"GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n", 421, "forbidden_host"},
      {"GET /api/v1/pumps HTTP/1.1\r\nHost: 127.0.0.1:1\r\n\r\n", 421, "forbidden_host"},
      {"GET /api/v1/pumps HTTP/1.1\r\n\r\n", 421, "forbidden_host"},
      {"GET /api/v1/pumps HTTP/1.1\r\nHost: localhost:{PORT}\r\n\r\n", 200, ""},
      {"GET /api/v1/pumps HTTP/1.1\r\nHost: LOCALHOST:{PORT}\r\n\r\n", 200, ""},
      // A known path with a method it does not take.
      {"POST /api/v1/pumps HTTP/1.1\r\nHost: {HOST}\r\n" + Token + "\r\n", 405,
       "method_not_allowed", "GET"},
      {"DELETE /api/v1/prices HTTP/1.1\r\nHost: {HOST}\r\n" + Token + "\r\n", 405,
       "method_not_allowed", "GET, PUT"},
      {"GET /api/v1/stop-all HTTP/1.1\r\nHost: {HOST}\r\n\r\n", 405, "method_not_allowed",
       "POST"},
      {"PUT /api/v1/pumps/1:1/authorize HTTP/1.1\r\nHost: {HOST}\r\n" + Token + "\r\n", 405,
       "method_not_allowed", "POST"},
      {"DELETE /metrics HTTP/1.1\r\nHost: {HOST}\r\n\r\n", 405, "method_not_allowed", "GET"},
      {"GET /api/v1/no-such-thing HTTP/1.1\r\nHost: {HOST}\r\n\r\n", 404, "not_found"},
      {"GET /api/v1/sales?from=2026-02-30T00:00:00Z HTTP/1.1\r\nHost: {HOST}\r\n\r\n", 400,
       "bad_query"},
  };
  const std::string Port = std::to_string(Server->Port());
  for (const TCase &C : Cases) {
    const std::string Request =
        Replace(Replace(C.Request, "{HOST}", "127.0.0.1:" + Port), "{PORT}", Port);
    TRawClient Raw(Server->Port());
    ASSERT_TRUE(Raw.Connected);
    ASSERT_TRUE(Raw.Send(Request));
    const auto Start = std::chrono::steady_clock::now();
    Raw.Read(3000, "\r\n\r\n");
    const auto Headers = Raw.Got.find("\r\n\r\n");
    const auto Length = std::atoi(Raw.Header("Content-Length").c_str());
    if (Headers != std::string::npos)
      while (Raw.Got.size() < Headers + 4 + static_cast<std::size_t>(Length) && !Raw.PeerClosed)
        Raw.Read(500);
    const auto Took = std::chrono::steady_clock::now() - Start;
    EXPECT_EQ(Raw.Status(), C.Status) << Request << "\n" << Raw.Got;
    EXPECT_LT(Took, std::chrono::seconds(2)) << Request;
    if (*C.Code != '\0') {
      EXPECT_EQ(Raw.Body()["error"], C.Code) << Request << "\n" << Raw.Got;
    }
    EXPECT_EQ(Raw.Header("Allow"), C.Allow) << Request;
  }
}

TEST_F(Service, ABodyRefusedUnreadClosesTheConnection) {
  // The unread body must not be taken for the next request on the connection.
  TRawClient Raw(Server->Port());
  ASSERT_TRUE(Raw.Send(
      "POST /api/v1/stop-all HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(Server->Port()) +
      "\r\nContent-Type: text/plain\r\nContent-Length: 39\r\n\r\n"
      "GET /api/v1/pumps HTTP/1.1\r\nHost: x\r\n\r\n"));
  Raw.Read(3000);
  EXPECT_EQ(Raw.Status(), 415) << Raw.Got;
  EXPECT_TRUE(Raw.PeerClosed);
  EXPECT_EQ(Raw.Got.find("HTTP/1.1", 5), std::string::npos) << Raw.Got;
}

TEST_F(Service, DuplicateKeysAndThirdDecimalsAreRefusedEndToEnd) {
  TReply Twice = Post("/api/v1/pumps/1:1/authorize", R"({"litres": 1, "litres": 9000})");
  EXPECT_EQ(Twice.Status, 400);
  EXPECT_EQ(Twice.Body["error"], "duplicate_key");
  TReply Fine = Post("/api/v1/pumps/1:1/authorize", R"({"money": 10.005})");
  EXPECT_EQ(Fine.Status, 400);
  EXPECT_EQ(Fine.Body["error"], "bad_value");
  EXPECT_EQ(Put("/api/v1/prices", R"({"1": 40, "1": 41})").Body["error"], "duplicate_key");
  EXPECT_EQ(Get("/api/v1/prices").Body["1"], 45.5);
  EXPECT_EQ(WaitForPump("1:1", "idle")["state"], "idle");
}

class NamedService : public TServiceTest {
protected:
  void Adjust(station::TStationConfig &Config) override { Config.HostNames = {"pos.example"}; }
};

TEST_F(NamedService, AConfiguredHostNameIsServedAndItsPagesMayCommand) {
  const std::string Port = std::to_string(Server->Port());
  const std::pair<std::string, int> Cases[] = {
      {"GET /api/v1/pumps HTTP/1.1\r\nHost: pos.example\r\n\r\n", 200},
      {"GET /api/v1/pumps HTTP/1.1\r\nHost: POS.example:8443\r\n\r\n", 200},
      {"GET /api/v1/pumps HTTP/1.1\r\nHost: pos.example.evil\r\n\r\n", 421},
      {"POST /api/v1/stop-all HTTP/1.1\r\nHost: pos.example\r\nOrigin: https://pos.example\r\n"
       "Authorization: Bearer s3cret\r\n\r\n",
       200},
      {"POST /api/v1/stop-all HTTP/1.1\r\nHost: pos.example\r\nOrigin: http://127.0.0.1:" +
           Port + "\r\nAuthorization: Bearer s3cret\r\n\r\n",
       403},
  };
  for (const auto &[Request, Status] : Cases) {
    TRawClient Raw(Server->Port());
    ASSERT_TRUE(Raw.Send(Request));
    Raw.Read(3000, "\r\n\r\n");
    EXPECT_EQ(Raw.Status(), Status) << Request << "\n" << Raw.Got;
  }
}

TEST(StationConfig, HostNamesAreAListOfNames) {
  TTempDir Dir;
  const std::string Station = "[station]\nlisten = \"127.0.0.1:0\"\n";
  const std::string Rest = "\n[[grade]]\nnumber = 1\nname = \"95\"\n\n[[line]]\nnumber = 1\n"
                           "tcp = \"10.0.0.7:4001\"\n\n[[pump]]\nline = 1\naddress = 3\n"
                           "nozzles = [1]\n";
  const auto Write = [&](const std::string &Name, const std::string &Text) {
    const std::string Path = (Dir.Path() / Name).string();
    std::ofstream(Path) << Text;
    return Path;
  };
  const auto Good =
      Write("good.toml", Station + "host_names = [\"pos.example\", \"till-2\"]\n" + Rest);
  EXPECT_EQ(station::LoadConfig(Good).HostNames,
            (std::vector<std::string>{"pos.example", "till-2"}));
  EXPECT_TRUE(station::LoadConfig(Write("none.toml", Station + Rest)).HostNames.empty());
  for (const std::string &Bad :
       {std::string("\"pos.example\""), std::string("[1]"), std::string("[\"\"]")}) {
    const auto File = Write("bad.toml", Station + "host_names = " + Bad + "\n" + Rest);
    try {
      station::LoadConfig(File);
      ADD_FAILURE() << Bad << " was accepted";
    } catch (const station::EConfigError &Error) {
      EXPECT_NE(std::string(Error.what()).find(File + ":3: station.host_names"),
                std::string::npos)
          << Error.what();
    }
  }
}

TEST_F(Service, TwelveClientsTricklingHeadersNeitherBlockOthersNorStay) {
  const std::string Port = std::to_string(Server->Port());
  std::vector<std::unique_ptr<TRawClient>> Slow;
  for (int I = 0; I < 12; ++I) {
    Slow.push_back(
        std::make_unique<TRawClient>(Server->Port(), "127.0.0." + std::to_string(10 + I)));
    ASSERT_TRUE(Slow.back()->Connected);
    ASSERT_TRUE(
        Slow.back()->Send("GET /api/v1/pumps HTTP/1.1\r\nHost: 127.0.0.1:" + Port + "\r\n"));
  }
  // Each sends one more byte of a header every 200 ms, never ending it.
  std::atomic<bool> Quit{false};
  std::thread Trickle([&] {
    while (!Quit) {
      for (auto &One : Slow)
        One->Send("x");
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto Start = std::chrono::steady_clock::now();
  for (int I = 0; I < 3; ++I)
    EXPECT_EQ(Get("/api/v1/pumps").Status, 200);
  EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(1));
  // However punctual each byte, a request gets five seconds in all.
  for (auto &One : Slow) {
    One->Read(7000 - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - Start)
                                          .count()));
    EXPECT_TRUE(One->PeerClosed) << One->Got;
  }
  EXPECT_GE(std::chrono::steady_clock::now() - Start, std::chrono::seconds(4));
  Quit = true;
  Trickle.join();
}

TEST_F(Service, ABodyTrickledByteByByteIsCutOffAtTheReadTimeout) {
  TRawClient Slow(Server->Port());
  ASSERT_TRUE(Slow.Send(
      "PUT /api/v1/prices HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(Server->Port()) +
      "\r\nAuthorization: Bearer s3cret\r\nContent-Type: "
      "application/json\r\nContent-Length: 200\r\n\r\n{\"1\": 40"));
  const auto Start = std::chrono::steady_clock::now();
  while (!Slow.PeerClosed &&
         std::chrono::steady_clock::now() - Start < std::chrono::seconds(8)) {
    Slow.Send(" ");
    Slow.Read(300);
  }
  const auto Took = std::chrono::steady_clock::now() - Start;
  EXPECT_TRUE(Slow.PeerClosed);
  EXPECT_GE(Took, std::chrono::seconds(4));
  EXPECT_LT(Took, std::chrono::seconds(7));
  EXPECT_NE(Slow.Status(), 200) << Slow.Got;
  EXPECT_EQ(Get("/api/v1/prices").Body["1"], 45.5);
}

// The accept queue of the TCP socket listening on Port, as the kernel reports it
// (what `ss -lt` shows as Send-Q); -1 when no such socket is found.
int ListenBacklog(int Port) {
  const int Diag = ::socket(AF_NETLINK, SOCK_DGRAM, NETLINK_SOCK_DIAG);
  struct {
    nlmsghdr Header;
    inet_diag_req_v2 Request;
  } Ask{};
  Ask.Header.nlmsg_len = sizeof Ask;
  Ask.Header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  Ask.Header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  Ask.Request.sdiag_family = AF_INET;
  Ask.Request.sdiag_protocol = IPPROTO_TCP;
  Ask.Request.idiag_states = 1u << 10; // TCP_LISTEN
  int Backlog = -1;
  const timeval Patience{2, 0};
  ::setsockopt(Diag, SOL_SOCKET, SO_RCVTIMEO, &Patience, sizeof Patience);
  sockaddr_nl Kernel{};
  Kernel.nl_family = AF_NETLINK;
  if (::sendto(Diag, &Ask, sizeof Ask, 0, reinterpret_cast<const sockaddr *>(&Kernel),
               sizeof Kernel) == static_cast<ssize_t>(sizeof Ask)) {
    alignas(nlmsghdr) char Buffer[16384];
    for (bool More = true; More && Backlog < 0;) {
      const ssize_t Got = ::recv(Diag, Buffer, sizeof Buffer, 0);
      if (Got <= 0)
        break;
      // Messages follow one another, each aligned to four bytes.
      for (std::size_t At = 0; At + sizeof(nlmsghdr) <= static_cast<std::size_t>(Got);) {
        const auto *Message = reinterpret_cast<const nlmsghdr *>(Buffer + At);
        if (Message->nlmsg_len < sizeof(nlmsghdr) ||
            At + Message->nlmsg_len > static_cast<std::size_t>(Got) ||
            Message->nlmsg_type == NLMSG_DONE || Message->nlmsg_type == NLMSG_ERROR) {
          More = false;
          break;
        }
        const auto *Socket =
            reinterpret_cast<const inet_diag_msg *>(Buffer + At + sizeof(nlmsghdr));
        if (ntohs(Socket->id.idiag_sport) == Port)
          Backlog = static_cast<int>(Socket->idiag_wqueue);
        At += (Message->nlmsg_len + 3u) & ~3u;
      }
    }
  }
  ::close(Diag);
  return Backlog;
}

TEST_F(Service, TheListenQueueHoldsABrowsersBurstAndMore) {
  EXPECT_GE(ListenBacklog(Server->Port()), 128);
}

TEST_F(Service, OneAddressHoldsAtMostEightConnections) {
  const std::string Port = std::to_string(Server->Port());
  std::vector<std::unique_ptr<TRawClient>> Held;
  for (int I = 0; I < 8; ++I) {
    Held.push_back(std::make_unique<TRawClient>(Server->Port(), "127.0.0.3"));
    ASSERT_TRUE(
        Held.back()->Send("GET /api/v1/pumps HTTP/1.1\r\nHost: 127.0.0.1:" + Port + "\r\n"));
  }
  // Each is counted by the worker that takes it up, which a loaded machine (or the
  // thread sanitizer) can hold back for a while.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  // The ninth from that address is closed unanswered, long before a read timeout.
  TRawClient Ninth(Server->Port(), "127.0.0.3");
  Ninth.Send("GET /api/v1/pumps HTTP/1.1\r\nHost: 127.0.0.1:" + Port + "\r\n\r\n");
  Ninth.Read(1500);
  EXPECT_TRUE(Ninth.PeerClosed);
  EXPECT_EQ(Ninth.Status(), 0) << Ninth.Got;
  // Another address is served.
  TRawClient Other(Server->Port(), "127.0.0.4");
  Other.Send("GET /api/v1/pumps HTTP/1.1\r\nHost: 127.0.0.1:" + Port + "\r\n\r\n");
  Other.Read(1500, "\r\n\r\n");
  EXPECT_EQ(Other.Status(), 200) << Other.Got;
  // Once the eight are gone, the address is served again.
  Held.clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  TRawClient Again(Server->Port(), "127.0.0.3");
  Again.Send("GET /api/v1/pumps HTTP/1.1\r\nHost: 127.0.0.1:" + Port + "\r\n\r\n");
  Again.Read(1500, "\r\n\r\n");
  EXPECT_EQ(Again.Status(), 200) << Again.Got;
}

TEST_F(Service, OneAddressHoldsAtMostFourEventStreams) {
  const std::string Request =
      "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(Server->Port()) +
      "\r\n\r\n";
  std::vector<std::unique_ptr<TRawClient>> Streams;
  for (int I = 0; I < 4; ++I) {
    Streams.push_back(std::make_unique<TRawClient>(Server->Port(), "127.0.0.5"));
    ASSERT_TRUE(Streams.back()->Send(Request));
    EXPECT_NE(Streams.back()->Read(2000, ": de30d events").find(": de30d events"),
              std::string::npos)
        << I;
  }
  TRawClient Fifth(Server->Port(), "127.0.0.5");
  ASSERT_TRUE(Fifth.Send(Request));
  Fifth.Read(2000, "}");
  EXPECT_EQ(Fifth.Status(), 503) << Fifth.Got;
  EXPECT_EQ(Fifth.Body()["error"], "too_many_streams");
  // Another address still gets its stream, and so does the first once one ends.
  TRawClient Other(Server->Port(), "127.0.0.2");
  ASSERT_TRUE(Other.Send(Request));
  EXPECT_NE(Other.Read(2000, ": de30d events").find(": de30d events"), std::string::npos);
  Streams.pop_back();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  TRawClient Later(Server->Port(), "127.0.0.5");
  ASSERT_TRUE(Later.Send(Request));
  EXPECT_NE(Later.Read(2000, ": de30d events").find(": de30d events"), std::string::npos)
      << Later.Got;
}

} // namespace
