// de30d as an operator runs it: --check-config, refusals at start, and a run that
// serves and stops cleanly on SIGTERM.
#include "capture/reader.hpp"
#include "service_fixture.hpp"
#include "support/run_program.hpp"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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
  const TRun R = De30dRun("--check-config " + Write("good.toml", GoodConfig));
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

TEST_F(De30d, TheEmbeddedStationServesAndStopsCleanlyOnSigterm) {
  // Serves on a free port; its first line says where.
  const std::string Journal = (Dir.Path() / "embedded.db").string();
  int Out[2];
  ASSERT_EQ(::pipe(Out), 0);
  const pid_t Child = ::fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    ::dup2(Out[1], 1);
    ::close(Out[0]);
    ::execl(DE30D, DE30D, "--listen", "127.0.0.1:0", "--journal", Journal.c_str(),
            static_cast<char *>(nullptr));
    ::_exit(127);
  }
  ::close(Out[1]);
  std::FILE *Said = ::fdopen(Out[0], "r");
  char Line[256] = {};
  ASSERT_NE(std::fgets(Line, sizeof Line, Said), nullptr);
  const std::string First = Line;
  const auto Colon = First.rfind(':');
  ASSERT_NE(First.find("de30d listens on http://127.0.0.1:"), std::string::npos) << First;
  const int Port = std::stoi(First.substr(Colon + 1));
  httplib::Client Client("127.0.0.1", Port);
  const auto Pumps = Client.Get("/api/v1/pumps");
  ASSERT_TRUE(Pumps);
  EXPECT_EQ(Pumps->status, 200);
  EXPECT_EQ(TJson::parse(Pumps->body).size(), 3u);
  const auto Prices = Client.Get("/api/v1/prices");
  ASSERT_TRUE(Prices);
  EXPECT_FALSE(TJson::parse(Prices->body).empty()); // seeded, so customers can be served
  ::kill(Child, SIGTERM);
  int Status = 0;
  ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
  std::fclose(Said);
  EXPECT_TRUE(WIFEXITED(Status));
  EXPECT_EQ(WEXITSTATUS(Status), 0);
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

TEST_F(De30d, VersionAndHelp) {
  const TRun Version = De30dRun("--version");
  EXPECT_EQ(Version.Code, 0);
  EXPECT_EQ(Version.Output.rfind("de30d 1.", 0), 0u) << Version.Output;
  EXPECT_EQ(De30dRun("--bogus").Code, 2);
}

} // namespace
