// de30d as an operator runs it: --check-config, refusals at start, and a run that
// serves and stops cleanly on SIGTERM.
#include "capture/reader.hpp"
#include "service_fixture.hpp"
#include "support/run_program.hpp"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace de30::test;

TRun De30dRun(const std::string &Arguments) {
  return RunProgram(std::string(DE30D) + " " + Arguments);
}

class De30d : public ::testing::Test {
protected:
  std::string Write(const std::string &Name, const std::string &Text) {
    const auto Path = Dir.Path() / Name;
    std::ofstream(Path) << Text;
    return Path.string();
  }
  TTempDir Dir;
};

const char GoodConfig[] = R"([station]
listen = "127.0.0.1:0"

[[grade]]
number = 1
name = "95"

[[line]]
number = 1
serial = "/dev/ttyUSB0"

[[pump]]
line = 1
address = 3
nozzles = [1]
)";

TEST_F(De30d, CheckConfigAcceptsAGoodFileInOneLine) {
  // On a device server, so that nothing depends on what this machine has plugged in.
  std::string Good = GoodConfig;
  Good.replace(Good.find("serial = \"/dev/ttyUSB0\""), 23, "tcp = \"10.0.0.7:4001\"");
  const TRun R = De30dRun("--check-config " + Write("good.toml", Good));
  EXPECT_EQ(R.Code, 0) << R.Output;
  EXPECT_NE(R.Output.find("good.toml: ok"), std::string::npos) << R.Output;
  EXPECT_EQ(std::count(R.Output.begin(), R.Output.end(), '\n'), 1) << R.Output;
}

TEST_F(De30d, CheckConfigNamesTheFileLineAndKeyOfAFault) {
  std::string Bad = GoodConfig;
  Bad.replace(Bad.find("nozzles = [1]"), 13, "nozzles = [7]"); // grade 7 is not configured
  const std::string File = Write("bad.toml", Bad);
  const TRun R = De30dRun("--check-config " + File);
  EXPECT_EQ(R.Code, 2) << R.Output;
  EXPECT_NE(R.Output.find(File + ":15: pump[1].nozzles"), std::string::npos) << R.Output;
  // Starting with it is refused the same way.
  const TRun Start = De30dRun("--config " + File);
  EXPECT_EQ(Start.Code, 2) << Start.Output;
  EXPECT_NE(Start.Output.find("pump[1].nozzles"), std::string::npos) << Start.Output;
}

TEST_F(De30d, ListeningBeyondLoopbackWithoutATokenIsRefused) {
  std::string Open = GoodConfig;
  Open.replace(Open.find("127.0.0.1:0"), 11, "0.0.0.0:0");
  const TRun Checked = De30dRun("--check-config " + Write("open.toml", Open));
  EXPECT_EQ(Checked.Code, 2) << Checked.Output;
  EXPECT_NE(Checked.Output.find("token"), std::string::npos) << Checked.Output;
  // The embedded station, moved off loopback by hand, has no token either.
  const TRun Started =
      De30dRun("--listen 0.0.0.0:0 --journal " + (Dir.Path() / "j.db").string());
  EXPECT_EQ(Started.Code, 2) << Started.Output;
  EXPECT_NE(Started.Output.find("needs a token"), std::string::npos) << Started.Output;
  EXPECT_EQ(De30dRun("--listen nowhere").Code, 2);
}

// de30d on the embedded station, on a free port read from its first line.
class TServing {
public:
  TServing(const std::string &Journal, std::vector<std::string> Extra = {}) {
    int Out[2];
    if (::pipe(Out) != 0)
      return;
    std::vector<std::string> Words = {DE30D, "--listen", "127.0.0.1:0", "--journal", Journal};
    Words.insert(Words.end(), Extra.begin(), Extra.end());
    Child = ::fork();
    if (Child == 0) {
      ::dup2(Out[1], 1);
      ::close(Out[0]);
      std::vector<char *> Argv;
      for (auto &Word : Words)
        Argv.push_back(Word.data());
      Argv.push_back(nullptr);
      ::execv(DE30D, Argv.data());
      ::_exit(127);
    }
    ::close(Out[1]);
    Said = ::fdopen(Out[0], "r");
    char Line[256] = {};
    if (Child > 0 && std::fgets(Line, sizeof Line, Said) != nullptr) {
      First = Line;
      if (First.find("de30d listens on http://127.0.0.1:") != std::string::npos)
        Port = std::stoi(First.substr(First.rfind(':') + 1));
    }
  }
  ~TServing() {
    if (Child > 0 && ExitStatus < 0)
      Stop();
    if (Said != nullptr)
      std::fclose(Said);
  }
  // SIGTERM, then the exit status.
  int Stop() {
    ::kill(Child, SIGTERM);
    int Status = 0;
    if (::waitpid(Child, &Status, 0) == Child)
      ExitStatus = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
    return ExitStatus;
  }
  pid_t Child = -1;
  std::FILE *Said = nullptr;
  std::string First;
  int Port = 0;
  int ExitStatus = -1;
};

TEST_F(De30d, TheEmbeddedStationServesAndStopsCleanlyOnSigterm) {
  TServing Service((Dir.Path() / "embedded.db").string());
  ASSERT_GT(Service.Port, 0) << Service.First;
  httplib::Client Client("127.0.0.1", Service.Port);
  const auto Pumps = Client.Get("/api/v1/pumps");
  ASSERT_TRUE(Pumps);
  EXPECT_EQ(Pumps->status, 200);
  EXPECT_EQ(TJson::parse(Pumps->body).size(), 3u);
  const auto Prices = Client.Get("/api/v1/prices");
  ASSERT_TRUE(Prices);
  EXPECT_FALSE(TJson::parse(Prices->body).empty()); // seeded, so customers can be served
  // The dashboard is there too.
  const auto Page = Client.Get("/");
  ASSERT_TRUE(Page);
  EXPECT_EQ(Page->status, 200);
  EXPECT_NE(Page->body.find("dashboard.js"), std::string::npos);
  EXPECT_EQ(Service.Stop(), 0);
}

TEST_F(De30d, ADeviceNotPluggedInIsAWarningAndItsLineSaysWhyItCannotBeOpened) {
  const std::string Device = (Dir.Path() / "ttyUSB9").string();
  std::string Unplugged = GoodConfig;
  Unplugged.replace(Unplugged.find("/dev/ttyUSB0"), 12, Device);
  const std::string File = Write("unplugged.toml", Unplugged);
  const TRun Checked = De30dRun("--check-config " + File);
  EXPECT_EQ(Checked.Code, 0) << Checked.Output;
  EXPECT_NE(Checked.Output.find("\nwarning: " + File + ":10: line[1].serial: " + Device +
                                " does not exist (yet)"),
            std::string::npos)
      << Checked.Output;
  // Started all the same, the station serves, and the line's health names the
  // device and the reason.
  TServing Service((Dir.Path() / "unplugged.db").string(), {"--config", File});
  ASSERT_GT(Service.Port, 0) << Service.First;
  httplib::Client Client("127.0.0.1", Service.Port);
  std::string LastError;
  for (int Try = 0; Try < 100 && LastError.find(Device) == std::string::npos; ++Try) {
    const auto Lines = Client.Get("/api/v1/lines");
    ASSERT_TRUE(Lines);
    const TJson Line = TJson::parse(Lines->body).at(0);
    if (Line.at("last_error").is_string())
      LastError = Line.at("last_error").get<std::string>();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(LastError.find("cannot open the line: " + Device + ": no such file or directory"),
            std::string::npos)
      << LastError;
  EXPECT_EQ(Service.Stop(), 0);
}

TEST_F(De30d, ATokenOnTheCommandLineGuardsTheEmbeddedStationsCommands) {
  TServing Service((Dir.Path() / "guarded.db").string(), {"--token", "t0ken"});
  ASSERT_GT(Service.Port, 0) << Service.First;
  httplib::Client Client("127.0.0.1", Service.Port);
  const auto Bare = Client.Post("/api/v1/stop-all", "", "application/json");
  ASSERT_TRUE(Bare);
  EXPECT_EQ(Bare->status, 401);
  const auto Wrong = Client.Post("/api/v1/stop-all", {{"Authorization", "Bearer other"}}, "",
                                 "application/json");
  ASSERT_TRUE(Wrong);
  EXPECT_EQ(Wrong->status, 401);
  const auto Right = Client.Post("/api/v1/stop-all", {{"Authorization", "Bearer t0ken"}}, "",
                                 "application/json");
  ASSERT_TRUE(Right);
  EXPECT_EQ(Right->status, 200) << Right->body;
  EXPECT_EQ(Client.Get("/api/v1/pumps")->status, 200); // reads need none
  EXPECT_EQ(Service.Stop(), 0);
}

TEST_F(De30d, TheSimulatedStationRunsFasterWhenAsked) {
  // At 20 times real time a customer lifts pump 1's nozzle within a second
  // (5 s idle) and its fill ends within a few more: a sale is payable in moments.
  TServing Service((Dir.Path() / "fast.db").string(), {"--speed", "20"});
  ASSERT_GT(Service.Port, 0) << Service.First;
  httplib::Client Client("127.0.0.1", Service.Port);
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
  bool Payable = false;
  while (!Payable && std::chrono::steady_clock::now() < Deadline) {
    const auto Sales = Client.Get("/api/v1/sales?state=payable");
    Payable = Sales && Sales->status == 200 && !TJson::parse(Sales->body).empty();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(Payable);
  EXPECT_EQ(Service.Stop(), 0);
  // Out of range, or for a configured station whose pumps are real, it is refused.
  EXPECT_EQ(De30dRun("--speed 0").Code, 2);
  EXPECT_EQ(De30dRun("--speed 51").Code, 2);
  const TRun Configured = De30dRun("--speed 5 --config " + Write("good.toml", GoodConfig));
  EXPECT_EQ(Configured.Code, 2) << Configured.Output;
  EXPECT_NE(Configured.Output.find("simulated station only"), std::string::npos)
      << Configured.Output;
}

TEST_F(De30d, ThePackagesExampleConfigurationPassesItsCheck) {
  const TRun R =
      De30dRun(std::string("--check-config ") + DE30_SOURCE + "/packaging/station.toml");
  EXPECT_EQ(R.Code, 0) << R.Output;
  EXPECT_NE(R.Output.find("2 pumps, 2 grades"), std::string::npos) << R.Output;
}

// Runs de30d with stderr on a pipe; with Journal, the environment names that pipe
// as systemd names the journal's stream. What it wrote on stderr.
std::string StderrOf(const std::vector<std::string> &Arguments, bool Journal) {
  int Err[2];
  if (::pipe(Err) != 0)
    return {};
  struct stat Pipe {};
  ::fstat(Err[1], &Pipe);
  const pid_t Child = ::fork();
  if (Child == 0) {
    ::dup2(Err[1], 2);
    ::close(Err[0]);
    if (Journal)
      ::setenv("JOURNAL_STREAM",
               (std::to_string(Pipe.st_dev) + ":" + std::to_string(Pipe.st_ino)).c_str(), 1);
    else
      ::unsetenv("JOURNAL_STREAM");
    std::vector<char *> Argv{const_cast<char *>(DE30D)};
    for (const auto &Argument : Arguments)
      Argv.push_back(const_cast<char *>(Argument.c_str()));
    Argv.push_back(nullptr);
    ::execv(DE30D, Argv.data());
    ::_exit(127);
  }
  ::close(Err[1]);
  std::string Text;
  char Buffer[512];
  ssize_t Got;
  while ((Got = ::read(Err[0], Buffer, sizeof Buffer)) > 0)
    Text.append(Buffer, static_cast<std::size_t>(Got));
  ::close(Err[0]);
  ::waitpid(Child, nullptr, 0);
  return Text;
}

TEST_F(De30d, UnderSystemdEachLogLineCarriesItsPriorityForTheJournal) {
  std::string Bad = GoodConfig;
  Bad.replace(Bad.find("nozzles = [1]"), 13, "nozzles = [7]");
  const std::string File = Write("bad.toml", Bad);
  const std::string Journal = StderrOf({"--config", File}, true);
  EXPECT_EQ(Journal.rfind("<3>", 0), 0u) << Journal;
  EXPECT_NE(Journal.find(" error configuration refused: " + File + ":15: pump[1].nozzles"),
            std::string::npos)
      << Journal;
  // On a terminal or in a file, the same line without it.
  const std::string Plain = StderrOf({"--config", File}, false);
  EXPECT_EQ(Plain.rfind("<", 0), std::string::npos) << Plain;
  EXPECT_NE(Plain.find(" error configuration refused: " + File), std::string::npos) << Plain;
}

TEST_F(De30d, TheLogLevelIsChosenByName) {
  std::string Bad = GoodConfig;
  Bad.replace(Bad.find("nozzles = [1]"), 13, "nozzles = [7]");
  const std::string File = Write("bad.toml", Bad);
  // An error passes every threshold; nothing below the one chosen is written.
  const std::string Errors = StderrOf({"--log-level", "error", "--config", File}, false);
  EXPECT_NE(Errors.find(" error configuration refused"), std::string::npos) << Errors;
  EXPECT_EQ(De30dRun("--log-level loud").Code, 2);
  EXPECT_EQ(De30dRun("-v --log-level info").Code, 2); // one or the other
  // The embedded station at warn writes nothing while all is well.
  const std::string Journal = (Dir.Path() / "quiet.db").string();
  const pid_t Child = ::fork();
  if (Child == 0) {
    const int Null = ::open("/dev/null", O_WRONLY);
    ::dup2(Null, 1);
    const std::string Log = (Dir.Path() / "quiet.log").string();
    const int Out = ::open(Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(Out, 2);
    ::execl(DE30D, DE30D, "--log-level", "warn", "--listen", "127.0.0.1:0", "--journal",
            Journal.c_str(), static_cast<char *>(nullptr));
    ::_exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ::kill(Child, SIGTERM);
  int Status = 0;
  ::waitpid(Child, &Status, 0);
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0);
  std::ifstream In(Dir.Path() / "quiet.log");
  const std::string Quiet((std::istreambuf_iterator<char>(In)),
                          std::istreambuf_iterator<char>());
  EXPECT_EQ(Quiet.find(" info "), std::string::npos) << Quiet;
}

TEST_F(De30d, TheEmbeddedStationIsCapturedAndItsLinesShowTheCaptureAndTheirFigures) {
  const std::string Journal = (Dir.Path() / "embedded.db").string();
  const std::string Capture = (Dir.Path() / "station.pcapng").string();
  int Out[2];
  ASSERT_EQ(::pipe(Out), 0);
  const pid_t Child = ::fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    ::dup2(Out[1], 1);
    ::close(Out[0]);
    ::execl(DE30D, DE30D, "--listen", "127.0.0.1:0", "--journal", Journal.c_str(), "--capture",
            Capture.c_str(), static_cast<char *>(nullptr));
    ::_exit(127);
  }
  ::close(Out[1]);
  std::FILE *Said = ::fdopen(Out[0], "r");
  char Line[256] = {};
  ASSERT_NE(std::fgets(Line, sizeof Line, Said), nullptr);
  const std::string First = Line;
  const int Port = std::stoi(First.substr(First.rfind(':') + 1));
  httplib::Client Client("127.0.0.1", Port);
  // The figures come once a second; both lines share the one file.
  TJson Lines;
  for (int Try = 0; Try < 60; ++Try) {
    const auto Got = Client.Get("/api/v1/lines");
    ASSERT_TRUE(Got);
    Lines = TJson::parse(Got->body);
    if (Lines.size() == 2 && !Lines[0]["latency_ms"].is_null() &&
        !Lines[1]["latency_ms"].is_null() && Lines[1]["capture"]["exchanges"] > 0)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(Lines.size(), 2u) << Lines.dump();
  for (const auto &L : Lines) {
    EXPECT_EQ(L["capture"]["file"], Capture) << L.dump();
    EXPECT_TRUE(L["capture"]["failure"].is_null()) << L.dump();
    EXPECT_GT(L["capture"]["exchanges"].get<int>(), 0) << L.dump();
    EXPECT_GT(L["latency_ms"]["exchanges"].get<int>(), 0) << L.dump();
    EXPECT_EQ(L["window_s"], 60.0);
  }
  ::kill(Child, SIGTERM);
  int Status = 0;
  ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
  std::fclose(Said);
  EXPECT_EQ(WEXITSTATUS(Status), 0);

  const auto Read = de30::capture::ReadCapture(Capture);
  EXPECT_EQ(Read.Application.rfind("de30d 1.", 0), 0u) << Read.Application;
  EXPECT_EQ(Read.Devices,
            (std::map<std::int32_t, std::string>{{1, "simulated"}, {2, "simulated"}}));
  EXPECT_FALSE(Read.Truncated);
  // tshark opens it whole: two packets an exchange.
  const TRun Shark = RunProgram("tshark -r " + Capture + " -T fields -e frame.number");
  EXPECT_EQ(Shark.Code, 0) << Shark.Output;
  EXPECT_NE(Shark.Output.find("\n" + std::to_string(2 * Read.Exchanges.size()) + "\n"),
            std::string::npos);
  EXPECT_EQ(Shark.Output.find("\n" + std::to_string(2 * Read.Exchanges.size() + 1) + "\n"),
            std::string::npos);

  // Configured lines are captured from their own tables.
  const TRun Refused =
      De30dRun("--capture " + Capture + " --config " + Write("good.toml", GoodConfig));
  EXPECT_EQ(Refused.Code, 2) << Refused.Output;
  EXPECT_NE(Refused.Output.find("[[line]] table"), std::string::npos) << Refused.Output;
}

// The event id a read carries: "RUN-SEQUENCE".
std::string EventIdOfARead(int Port) {
  httplib::Client Client("127.0.0.1", Port);
  const auto Read = Client.Get("/api/v1/pumps");
  return Read ? Read->get_header_value("De30-Event-Id") : std::string();
}

// What the event stream starts with for a client that says it saw LastEventId.
std::string StreamStartAfter(int Port, const std::string &LastEventId) {
  httplib::Client Client("127.0.0.1", Port);
  Client.set_read_timeout(std::chrono::seconds(10));
  std::string Text;
  Client.Get(
      "/api/v1/events", {{"Last-Event-ID", LastEventId}}, [&](const char *Data, size_t Size) {
        Text.append(Data, Size);
        // The greeting, then one whole frame.
        const auto Frame = Text.find("\nid: ");
        return Frame == std::string::npos || Text.find("\n\n", Frame) == std::string::npos;
      });
  return Text;
}

TEST_F(De30d, EventIdsCarryARunThatGrowsWithEveryStartAndAnOldRunsIdGetsAReset) {
  const std::string Journal = (Dir.Path() / "runs.db").string();
  std::string Before;
  {
    TServing First(Journal);
    ASSERT_GT(First.Port, 0) << First.First;
    Before = EventIdOfARead(First.Port);
    EXPECT_EQ(First.Stop(), 0);
  }
  TServing Second(Journal);
  ASSERT_GT(Second.Port, 0) << Second.First;
  const std::string After = EventIdOfARead(Second.Port);
  const auto Dash = Before.find('-');
  ASSERT_NE(Dash, std::string::npos) << Before;
  ASSERT_NE(After.find('-'), std::string::npos) << After;
  const int FirstRun = std::stoi(Before.substr(0, Dash));
  EXPECT_GE(FirstRun, 1);
  EXPECT_EQ(After.substr(0, After.find('-')), std::to_string(FirstRun + 1)) << After;
  // A client of the first run reconnects: what it holds is stale, whatever the numbers.
  const std::string Start = StreamStartAfter(Second.Port, Before);
  EXPECT_NE(Start.find("\nid: " + std::to_string(FirstRun + 1) + "-"), std::string::npos)
      << Start;
  EXPECT_NE(Start.find("\nevent: reset\ndata: "), std::string::npos) << Start;
  EXPECT_EQ(Second.Stop(), 0);
}

// The lock file beside a journal: the pid of the process that holds it.
std::string LockHolder(const std::string &Journal) {
  std::ifstream In(Journal + ".lock");
  std::string Pid;
  std::getline(In, Pid);
  return Pid;
}

TEST_F(De30d, ASecondServiceOnTheSameJournalExitsNamingTheProcessThatHoldsIt) {
  const std::string Journal = (Dir.Path() / "shared.db").string();
  TServing First(Journal);
  ASSERT_GT(First.Port, 0) << First.First;
  EXPECT_EQ(LockHolder(Journal), std::to_string(First.Child));
  const TRun Second = De30dRun("--listen 127.0.0.1:0 --journal " + Journal);
  EXPECT_EQ(Second.Code, 1) << Second.Output;
  EXPECT_NE(
      Second.Output.find(Journal + " is in use by process " + std::to_string(First.Child)),
      std::string::npos)
      << Second.Output;
  // Its command line, from /proc.
  EXPECT_NE(
      Second.Output.find(std::string(DE30D) + " --listen 127.0.0.1:0 --journal " + Journal),
      std::string::npos)
      << Second.Output;
  EXPECT_EQ(Second.Output.find("listens on"), std::string::npos) << Second.Output;
  // The first one went on serving, untouched.
  EXPECT_NE(EventIdOfARead(First.Port), "");
  EXPECT_EQ(LockHolder(Journal), std::to_string(First.Child));
  EXPECT_EQ(First.Stop(), 0);
  // Stopped, it has let go: the next start serves.
  TServing Next(Journal);
  EXPECT_GT(Next.Port, 0) << Next.First;
  EXPECT_EQ(Next.Stop(), 0);
}

TEST_F(De30d, TheJournalsLockGoesWithAServiceKilledWithSigkill) {
  const std::string Journal = (Dir.Path() / "killed.db").string();
  TServing Killed(Journal);
  ASSERT_GT(Killed.Port, 0) << Killed.First;
  ASSERT_EQ(::kill(Killed.Child, SIGKILL), 0);
  int Status = 0;
  ASSERT_EQ(::waitpid(Killed.Child, &Status, 0), Killed.Child);
  Killed.ExitStatus = 128 + SIGKILL;
  // The file stays, with the dead process's pid; the lock does not.
  EXPECT_EQ(LockHolder(Journal), std::to_string(Killed.Child));
  TServing Next(Journal);
  ASSERT_GT(Next.Port, 0) << Next.First;
  EXPECT_EQ(LockHolder(Journal), std::to_string(Next.Child));
  EXPECT_NE(EventIdOfARead(Next.Port), "");
  EXPECT_EQ(Next.Stop(), 0);
}

TEST_F(De30d, VersionAndHelp) {
  const TRun Version = De30dRun("--version");
  EXPECT_EQ(Version.Code, 0);
  EXPECT_EQ(Version.Output.rfind("de30d 1.", 0), 0u) << Version.Output;
  EXPECT_EQ(De30dRun("--bogus").Code, 2);
}

} // namespace
