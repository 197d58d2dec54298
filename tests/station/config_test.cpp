// The configuration file: the documented example as it stands, and every kind of
// fault refused with the file, the line and the key named.
#include "station/config.hpp"
#include "station/temp_dir.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace de30::station {
namespace {

const char *const Example = R"(
[station]
id = "station-7"
listen = "127.0.0.1:8030"
journal = "/var/lib/de30/journal.db"   # --journal PATH overrides it

[[grade]]
number = 1
name = "A-95"

[[grade]]
number = 2
name = "Diesel"

[[line]]
number = 1
serial = "/dev/ttyUSB0"               # or: tcp = "10.0.0.7:4001"
timeout_ms = 1500

[[pump]]
line = 1
address = 3
nozzles = [1]                         # the grade each nozzle sells, nozzle 1 first

[[pump]]
line = 1
address = 4
nozzles = [1, 2]
auto_authorize = true
)";

TEST(Config, TheDocumentedExampleIsAcceptedFromItsFile) {
  test::TTempDir Dir;
  const auto File = Dir / "de30d.toml";
  std::ofstream(File) << Example;
  const auto Config = LoadConfig(File);
  EXPECT_EQ(Config.StationId, "station-7");
  EXPECT_EQ(Config.ListenHost, "127.0.0.1");
  EXPECT_EQ(Config.ListenPort, 8030);
  EXPECT_EQ(Config.Journal, "/var/lib/de30/journal.db");
  EXPECT_TRUE(Config.Token.empty());
  ASSERT_EQ(Config.Grades.size(), 2u);
  EXPECT_EQ(Config.FindGrade(2)->Name, "Diesel");
  EXPECT_EQ(Config.FindGrade(3), nullptr);
  ASSERT_EQ(Config.Lines.size(), 1u);
  EXPECT_EQ(Config.Lines[0].Number, 1);
  EXPECT_EQ(Config.Lines[0].Serial, "/dev/ttyUSB0");
  EXPECT_TRUE(Config.Lines[0].TcpHost.empty());
  EXPECT_EQ(Config.Lines[0].Timeout, std::chrono::milliseconds(1500));
  ASSERT_EQ(Config.Pumps.size(), 2u);
  const auto *Pump = Config.FindPump(1, 4);
  ASSERT_NE(Pump, nullptr);
  EXPECT_EQ(Pump->Id(), "1:4");
  EXPECT_EQ(Pump->Nozzles, (std::vector<int>{1, 2}));
  EXPECT_EQ(Pump->NozzleCount(), 2);
  EXPECT_TRUE(Pump->AutoAuthorize);
  EXPECT_FALSE(Config.FindPump(1, 3)->AutoAuthorize);
  EXPECT_EQ(Config.FindPump(2, 3), nullptr);
}

TEST(Config, TcpLinesTokensAndServiceSettingsAreRead) {
  const auto Config = ParseConfig(R"(
[station]
listen = "0.0.0.0:9000"
token = "s3cret"
offline_after = 5
offline_backoff_ms = 8000
offline_probe_ms = 80

[[grade]]
number = 7
name = "LPG"

[[line]]
number = 2
tcp = "10.0.0.7:4001"
capture = "/tmp/line2.cap"

[[line]]
number = 3
tcp = "[fd00::7]:4002"

[[pump]]
line = 2
address = 3
nozzles = [7]

[[pump]]
line = 3
address = 3
nozzles = [7, 7, 7, 7]
)",
                                  "tcp.toml");
  EXPECT_EQ(Config.StationId, "de30");
  EXPECT_EQ(Config.ListenHost, "0.0.0.0");
  EXPECT_EQ(Config.ListenPort, 9000);
  EXPECT_EQ(Config.Token, "s3cret");
  EXPECT_EQ(Config.OfflineAfter, 5);
  EXPECT_EQ(Config.OfflineBackoffMax, std::chrono::milliseconds(8000));
  EXPECT_EQ(Config.OfflineProbeTimeout, std::chrono::milliseconds(80));
  ASSERT_EQ(Config.Lines.size(), 2u);
  EXPECT_TRUE(Config.Lines[0].Serial.empty());
  EXPECT_EQ(Config.Lines[0].TcpHost, "10.0.0.7");
  EXPECT_EQ(Config.Lines[0].TcpPort, 4001);
  EXPECT_EQ(Config.Lines[0].Capture, "/tmp/line2.cap");
  EXPECT_EQ(Config.Lines[0].Timeout, std::chrono::milliseconds(1500)); // the default
  EXPECT_EQ(Config.Lines[1].TcpHost, "fd00::7");
  EXPECT_EQ(Config.Lines[1].TcpPort, 4002);
  // The same address on two lines is two pumps.
  EXPECT_NE(Config.FindPump(2, 3), nullptr);
  EXPECT_EQ(Config.FindPump(3, 3)->NozzleCount(), 4);
}

// A small good file; each fault below is this with one thing wrong.
const char *const Base = R"([[grade]]
number = 1
name = "A-95"

[[line]]
number = 1
serial = "/dev/ttyUSB0"

[[pump]]
line = 1
address = 3
nozzles = [1]
)";

std::string Replace(std::string Text, const std::string &From, const std::string &To) {
  const auto At = Text.find(From);
  if (At == std::string::npos)
    throw std::logic_error("the base file has no " + From);
  return Text.replace(At, From.size(), To);
}

// The 1-based line of the file that holds Marker.
int LineWith(const std::string &Text, const std::string &Marker) {
  const auto At = Text.find(Marker);
  if (At == std::string::npos)
    throw std::logic_error("the case has no " + Marker);
  return 1 + static_cast<int>(std::count(Text.begin(), Text.begin() + At, '\n'));
}

struct TFault {
  std::string Text;
  std::string Marker; // the text on the line the error names; empty for no line
  std::string Key;
  std::string Message; // part of the message
};

void ExpectRefused(const TFault &Fault) {
  SCOPED_TRACE(Fault.Text);
  try {
    ParseConfig(Fault.Text, "faulty.toml");
    ADD_FAILURE() << "accepted";
  } catch (const EConfigError &Error) {
    EXPECT_EQ(Error.File(), "faulty.toml");
    EXPECT_EQ(Error.Line(), Fault.Marker.empty() ? 0 : LineWith(Fault.Text, Fault.Marker));
    EXPECT_EQ(Error.Key(), Fault.Key);
    EXPECT_NE(std::string(Error.what()).find(Fault.Message), std::string::npos) << Error.what();
    const std::string Where = Error.Line()
                                  ? "faulty.toml:" + std::to_string(Error.Line()) + ": "
                                  : std::string("faulty.toml: ");
    EXPECT_EQ(std::string(Error.what()).rfind(Where, 0), 0u) << Error.what();
  }
}

TEST(Config, TheMessageNamesFileLineAndKey) {
  const std::string Text =
      std::string(Base) + "\n[[pump]]\nline = 1\naddress = 4\nnozzles = [3]\n";
  try {
    ParseConfig(Text, "journal.toml");
    FAIL() << "accepted";
  } catch (const EConfigError &Error) {
    EXPECT_STREQ(Error.what(), "journal.toml:17: pump[2].nozzles: grade 3 is not configured");
  }
}

TEST(Config, UnknownKeysAreNamedNotIgnored) {
  for (const auto &Fault : std::vector<TFault>{
           {Replace(Base, "nozzles = [1]\n", "nozzles = [1]\nauto_authorise = true\n"),
            "auto_authorise", "pump[1].auto_authorise", "unknown key"},
           // The typo is named, not the key it hides.
           {Replace(Base, "serial =", "serail ="), "serail", "line[1].serail", "unknown key"},
           {Replace(Base, "[[pump]]", "[[pumps]]"), "[[pumps]]", "pumps", "unknown key"},
           {std::string("[station]\ntokn = \"x\"\n") + Base, "tokn", "station.tokn",
            "unknown key"},
           {std::string(Base) + "[pump.extra]\n", "[pump.extra]", "pump[1].extra",
            "unknown key"},
       })
    ExpectRefused(Fault);
}

TEST(Config, WrongTypesAndSyntaxAreRefused) {
  for (const auto &Fault : std::vector<TFault>{
           {Replace(Base, "address = 3", "address = \"3\""), "address", "pump[1].address",
            "must be an integer, not a string"},
           {std::string(Base) + "auto_authorize = 1\n", "auto_authorize",
            "pump[1].auto_authorize", "must be true or false"},
           {Replace(Base, "serial = \"/dev/ttyUSB0\"",
                    "serial = \"/dev/ttyUSB0\"\ntimeout_ms = 1500.5"),
            "timeout_ms", "line[1].timeout_ms",
            "must be an integer, not a number with a fraction"},
           {Replace(Base, "nozzles = [1]", "nozzles = 1"), "nozzles", "pump[1].nozzles",
            "must be a list of grade numbers"},
           {Replace(Base, "nozzles = [1]", "nozzles = [\"A-95\"]"), "nozzles",
            "pump[1].nozzles", "must be an integer"},
           {Replace(Base, "name = \"A-95\"", "name = 95"), "name = 95", "grade[1].name",
            "must be a string"},
           {std::string("grade = 1\n") +
                Replace(Base, "[[grade]]\nnumber = 1\nname = \"A-95\"\n", ""),
            "grade = 1", "grade", "[[grade]]"},
           {std::string("station = \"x\"\n") + Base, "station = ", "station",
            "must be a table"},
           {Replace(Base, "address = 3", "address = "), "address", "", ""},
       })
    ExpectRefused(Fault);
}

TEST(Config, LinesAreCheckedOneByOne) {
  for (const auto &Fault : std::vector<TFault>{
           {Replace(Base, "number = 1\nserial", "number = 33\nserial"), "number = 33",
            "line[1].number", "33 is outside 1..32"},
           {std::string(Base) + "[[line]]\nnumber = 1 # again\ntcp = \"h:1\"\n",
            "number = 1 # again", "line[2].number", "line 1 is configured twice"},
           {Replace(Base, "serial = \"/dev/ttyUSB0\"",
                    "serial = \"/dev/ttyUSB0\"\ntcp = \"h:1\""),
            "tcp = ", "line[1].tcp", "either serial or tcp"},
           {Replace(Base, "serial = \"/dev/ttyUSB0\"\n", ""), "[[line]]", "line[1].serial",
            "missing"},
           {Replace(Base, "serial = \"/dev/ttyUSB0\"", "tcp = \"10.0.0.7\""),
            "tcp = ", "line[1].tcp", "port 1..65535"},
           {Replace(Base, "serial = \"/dev/ttyUSB0\"", "tcp = \"10.0.0.7:65536\""),
            "tcp = ", "line[1].tcp", "port 1..65535"},
           {Replace(Base, "serial = \"/dev/ttyUSB0\"", "tcp = \":4001\""),
            "tcp = ", "line[1].tcp", "host:port"},
           {Replace(Base, "serial = \"/dev/ttyUSB0\"", "serial = \"\""),
            "serial = ", "line[1].serial", "must not be empty"},
           {Replace(Base, "serial = \"/dev/ttyUSB0\"",
                    "serial = \"/dev/ttyUSB0\"\ntimeout_ms = 49"),
            "timeout_ms", "line[1].timeout_ms", "49 is outside 50..60000"},
       })
    ExpectRefused(Fault);
}

TEST(Config, ATapLineIsListenedToAndRefusesWhatOnlyDrivingNeeds) {
  const std::string Tap =
      Replace(Base, "serial = \"/dev/ttyUSB0\"", "serial = \"/dev/ttyUSB0\"\ntap = true");
  const auto Config =
      ParseConfig(Replace(Tap, "tap = true", "tap = true\ngap_ms = 60"), "t.toml");
  ASSERT_EQ(Config.Lines.size(), 1u);
  EXPECT_TRUE(Config.Lines[0].Tap);
  EXPECT_EQ(Config.Lines[0].TapGap, std::chrono::milliseconds(60));
  EXPECT_FALSE(ParseConfig(Base, "t.toml").Lines[0].Tap);
  const auto OnTcp = ParseConfig(
      Replace(Tap, "serial = \"/dev/ttyUSB0\"", "tcp = \"10.0.0.7:4001\""), "t.toml");
  EXPECT_TRUE(OnTcp.Lines[0].Tap);
  for (const auto &Fault : std::vector<TFault>{
           {Replace(Tap, "tap = true", "tap = true\ntimeout_ms = 500"), "timeout_ms",
            "line[1].timeout_ms", "a tap line sends nothing"},
           {Replace(Tap, "tap = true", "tap = true\ncapture = \"x.pcapng\""), "capture",
            "line[1].capture", "capture it with de30ctl tap --capture"},
           {Tap + "auto_authorize = true\n", "auto_authorize", "pump[1].auto_authorize",
            "line 1 is a tap line"},
           {Tap + "authorize_timeout_s = 60\n", "authorize_timeout_s",
            "pump[1].authorize_timeout_s", "another controller authorises and stops"},
           {Replace(Base, "serial = \"/dev/ttyUSB0\"",
                    "serial = \"/dev/ttyUSB0\"\ngap_ms = 60"),
            "gap_ms", "line[1].gap_ms", "only with tap = true"},
           {Replace(Tap, "tap = true", "tap = true\ngap_ms = 0"), "gap_ms", "line[1].gap_ms",
            "0 is outside 1..1000"},
           {Replace(Tap, "tap = true", "tap = \"yes\""), "tap", "line[1].tap",
            "must be true or false"},
       })
    ExpectRefused(Fault);
}

// Base with its line's serial device replaced, and a second line added.
std::string TwoLines(const std::string &First, const std::string &Second) {
  return Replace(Base, "serial = \"/dev/ttyUSB0\"", First) + "[[line]]\nnumber = 2\n" + Second +
         " # second\n";
}

TEST(Config, ASerialLineNamesACharacterDeviceByItsAbsolutePath) {
  test::TTempDir Dir;
  const std::string Plain = (Dir / "plain").string();
  std::ofstream(Plain) << "not a device\n";
  const std::string Null = (Dir / "null-link").string();
  std::filesystem::create_symlink("/dev/null", Null);
  const std::string Missing = (Dir / "ttyUSB9").string();
  const auto Serial = [](const std::string &Path) { return "serial = \"" + Path + "\""; };
  for (const auto &Fault : std::vector<TFault>{
           {Replace(Base, "/dev/ttyUSB0", "ttyUSB0"), "serial", "line[1].serial",
            "must be an absolute path such as /dev/ttyUSB0, not \"ttyUSB0\""},
           {Replace(Base, "/dev/ttyUSB0", "../dev/ttyUSB0"), "serial", "line[1].serial",
            "absolute path"},
           {Replace(Base, "/dev/ttyUSB0", Plain), "serial", "line[1].serial",
            Plain + " is a regular file, not a serial device"},
           {Replace(Base, "/dev/ttyUSB0", Dir.Path.string()), "serial", "line[1].serial",
            "is a directory, not a serial device"},
           // One device under two names is still one port.
           {TwoLines(Serial("/dev/null"), Serial(Null)), "# second", "line[2].serial",
            Null + " (/dev/null) is the device of line 1 already"},
           {TwoLines(Serial("/dev/null"), Serial("/dev/./null")), "# second", "line[2].serial",
            "is the device of line 1 already: two lines cannot share one serial port"},
           // A device not plugged in yet is compared by the path as written.
           {TwoLines(Serial(Missing), Serial(Missing)), "# second", "line[2].serial",
            Missing + " is the device of line 1 already"},
           {TwoLines("tcp = \"10.0.0.7:4001\"", "tcp = \"10.0.0.7:4001\""), "# second",
            "line[2].tcp",
            "10.0.0.7:4001 is the address of line 1 already: two lines cannot share one "
            "port of a device server"},
           {TwoLines("tcp = \"Pumps.local:4001\"", "tcp = \"pumps.LOCAL:4001\""), "# second",
            "line[2].tcp", "is the address of line 1 already"},
           {TwoLines("tcp = \"[fd00::7]:4001\"", "tcp = \"[FD00::7]:4001\""), "# second",
            "line[2].tcp", "is the address of line 1 already"},
       })
    ExpectRefused(Fault);

  // Accepted: a device that is there, and separate ports; a missing device with
  // a warning worded as a fault is, since an adapter may be plugged in later.
  const auto Accepted = [](const std::string &Text) { return ParseConfig(Text, "lines.toml"); };
  const auto Present = Accepted(TwoLines(Serial(Null), "tcp = \"10.0.0.7:4001\""));
  EXPECT_EQ(Present.Lines.at(0).Serial, Null);
  EXPECT_TRUE(Present.Warnings.empty());
  EXPECT_TRUE(Accepted(TwoLines("tcp = \"10.0.0.7:4001\"", "tcp = \"10.0.0.7:4002\""))
                  .Warnings.empty());
  EXPECT_TRUE(Accepted(TwoLines("tcp = \"10.0.0.7:4001\"", "tcp = \"10.0.0.8:4001\""))
                  .Warnings.empty());
  const std::string Unplugged = TwoLines(Serial(Missing), Serial(Missing + "-2"));
  const auto Waiting = Accepted(Unplugged);
  ASSERT_EQ(Waiting.Lines.size(), 2u);
  EXPECT_EQ(Waiting.Lines[1].Serial, Missing + "-2");
  EXPECT_EQ(Waiting.Warnings,
            (std::vector<std::string>{
                "lines.toml:" + std::to_string(LineWith(Unplugged, Missing)) +
                    ": line[1].serial: " + Missing +
                    " does not exist (yet); the line is opened once it appears",
                "lines.toml:" + std::to_string(LineWith(Unplugged, "# second")) +
                    ": line[2].serial: " + Missing +
                    "-2 does not exist (yet); the line is opened once it appears"}));
}

TEST(Config, CapturesAreReadWithTheirRotationAndLinesMayShareAFile) {
  const std::string Text =
      Replace(Base, "serial = \"/dev/ttyUSB0\"",
              "serial = \"/dev/ttyUSB0\"\ncapture = \"/var/lib/de30d/line1.pcapng\"\n"
              "capture_max_mb = 2\ncapture_files = 9") +
      "[[line]]\nnumber = 2\ntcp = \"h:1\"\ncapture = \"/var/lib/de30d/all.pcapng\"\n"
      "[[line]]\nnumber = 3\ntcp = \"h:2\"\ncapture = \"/var/lib/de30d/./all.pcapng\"\n"
      "[[line]]\nnumber = 4\ntcp = \"h:3\"\n";
  const auto Config = ParseConfig(Text, "capture.toml");
  ASSERT_EQ(Config.Lines.size(), 4u);
  EXPECT_EQ(Config.Lines[0].Capture, "/var/lib/de30d/line1.pcapng");
  EXPECT_EQ(Config.Lines[0].CaptureMaxBytes, 2u << 20);
  EXPECT_EQ(Config.Lines[0].CaptureFiles, 9u);
  EXPECT_EQ(Config.Lines[1].CaptureMaxBytes, 16u << 20); // the defaults
  EXPECT_EQ(Config.Lines[1].CaptureFiles, 4u);
  EXPECT_TRUE(Config.Lines[3].Capture.empty());

  const std::string Captured =
      Replace(Base, "serial = \"/dev/ttyUSB0\"",
              "serial = \"/dev/ttyUSB0\"\ncapture = \"/cap/line.pcapng\"");
  for (const auto &Fault : std::vector<TFault>{
           {Replace(Base, "serial = \"/dev/ttyUSB0\"",
                    "serial = \"/dev/ttyUSB0\"\ncapture_files = 2"),
            "capture_files", "line[1].capture_files", "add capture = \"FILE\""},
           {Replace(Captured, "capture =", "capture_max_mb = 0\ncapture ="), "capture_max_mb",
            "line[1].capture_max_mb", "0 is outside 1..65536"},
           {Replace(Captured, "capture =", "capture_files = 101\ncapture ="), "capture_files",
            "line[1].capture_files", "101 is outside 1..100"},
           {Replace(Captured, "capture = \"/cap/line.pcapng\"", "capture = \"\""), "capture",
            "line[1].capture", "must not be empty"},
           {Captured + "[[line]]\nnumber = 2\ntcp = \"h:1\"\ncapture = \"/cap/line.pcapng\" "
                       "# again\ncapture_files = 2\n",
            "# again", "line[2].capture", "rotate it alike"},
           // line.pcapng's rotation makes line.1.pcapng.
           {Captured +
                "[[line]]\nnumber = 2\ntcp = \"h:1\"\ncapture = \"/cap/line.1.pcapng\"\n",
            "line.1.pcapng", "line[2].capture", "overwrite each other's files"},
           {"[station]\njournal = \"/cap/line.2.pcapng\"\n" + Captured,
            "capture =", "line[1].capture", "would overwrite the journal (/cap/line.2.pcapng)"},
       })
    ExpectRefused(Fault);
}

TEST(Config, PumpsMustSitOnConfiguredLinesAndSellConfiguredGrades) {
  for (const auto &Fault : std::vector<TFault>{
           {Replace(Base, "line = 1\naddress", "line = 2\naddress"), "line = 2", "pump[1].line",
            "line 2 is not configured"},
           {Replace(Base, "address = 3", "address = 32"), "address", "pump[1].address",
            "32 is outside 1..31"},
           {std::string(Base) + "\n[[pump]]\nline = 1\naddress = 3 # again\nnozzles = [1]\n",
            "address = 3 # again", "pump[2].address", "pump 3 on line 1 is configured twice"},
           {Replace(Base, "nozzles = [1]", "nozzles = []"), "nozzles", "pump[1].nozzles",
            "0 nozzles; a pump has 1..4"},
           {Replace(Base, "nozzles = [1]", "nozzles = [1, 1, 1, 1, 1]"), "nozzles",
            "pump[1].nozzles", "5 nozzles"},
           {Replace(Base, "nozzles = [1]", "nozzles = [1,\n  2]"), "  2]", "pump[1].nozzles",
            "grade 2 is not configured"},
           {Replace(Base, "nozzles = [1]\n", ""), "[[pump]]", "pump[1].nozzles", "missing"},
           {Replace(Base, "address = 3\n", ""), "[[pump]]", "pump[1].address", "missing"},
       })
    ExpectRefused(Fault);
}

TEST(Config, GradesAreNumberedOnceAndNamed) {
  for (const auto &Fault : std::vector<TFault>{
           {std::string(Base) + "\n[[grade]]\nnumber = 1 # again\nname = \"B\"\n",
            "number = 1 # again", "grade[2].number", "grade 1 is configured twice"},
           {Replace(Base, "number = 1\nname", "number = 100\nname"), "number = 100",
            "grade[1].number", "100 is outside 1..99"},
           {Replace(Base, "name = \"A-95\"", "name = \"\""), "name = ", "grade[1].name",
            "must not be empty"},
           {Replace(Base, "name = \"A-95\"\n", ""), "[[grade]]", "grade[1].name", "missing"},
       })
    ExpectRefused(Fault);
}

TEST(Config, AStationNeedsALineAPumpAndATokenOffLoopback) {
  const std::string NoPump = Base;
  for (const auto &Fault : std::vector<TFault>{
           {NoPump.substr(0, NoPump.find("[[pump]]")), "", "pump", "no pump is configured"},
           {Replace(Replace(Base, "[[line]]\nnumber = 1\nserial = \"/dev/ttyUSB0\"\n", ""),
                    "[[pump]]\nline = 1\naddress = 3\nnozzles = [1]\n", ""),
            "", "line", "no line is configured"},
           {std::string("[station]\nlisten = \"0.0.0.0:8030\"\n") + Base, "listen",
            "station.token", "required when listen is not a loopback address"},
           {std::string("[station]\nlisten = \"localhost\"\n") + Base, "listen",
            "station.listen", "host:port"},
           {std::string("[station]\noffline_after = 0\n") + Base, "offline_after",
            "station.offline_after", "0 is outside 1..1000"},
           {std::string("[station]\noffline_backoff_ms = 10\n") + Base, "offline_backoff_ms",
            "station.offline_backoff_ms", "outside 100..600000"},
           {std::string("[station]\noffline_probe_ms = 5\n") + Base, "offline_probe_ms",
            "station.offline_probe_ms", "outside 20..60000"},
           {std::string("[station]\ntoken = \"\"\n") + Base, "token", "station.token",
            "must not be empty"},
       })
    ExpectRefused(Fault);
  // Loopback addresses need no token.
  for (const auto *Listen : {"127.0.0.1:8030", "localhost:8030", "[::1]:8030", "127.0.0.1:0"})
    EXPECT_NO_THROW(
        ParseConfig(std::string("[station]\nlisten = \"") + Listen + "\"\n" + Base, "ok.toml"))
        << Listen;
}

TEST(Config, ClientsHaveANameATokenAndARoleEachTheirOwn) {
  const std::string Clients = std::string(Base) + R"(
[[client]]
name = "till-1"
token = "till-1-secret"

[[client]]
name = "screen"
token = "screen-secret"
role = "viewer"
)";
  const auto Config = ParseConfig(
      std::string("[station]\nlisten = \"0.0.0.0:8030\"\nread_token = true\n") + Clients,
      "clients.toml");
  ASSERT_EQ(Config.Clients.size(), 2u);
  EXPECT_EQ(Config.Clients[0].Name, "till-1");
  EXPECT_EQ(Config.Clients[0].Role, TClientRole::Pos); // the default role
  EXPECT_EQ(Config.Clients[1].Role, TClientRole::Viewer);
  EXPECT_TRUE(Config.ReadToken);
  EXPECT_EQ(Config.LockTimeout, std::chrono::seconds(900));

  const std::string Admin = "[station]\ntoken = \"station-secret\"\n";
  for (const auto &Fault : std::vector<TFault>{
           {Replace(Clients, "token = \"screen-secret\"", "token = \"till-1-secret\""),
            "token = \"till-1-secret\"\nrole", "client[2].token",
            "is the token of client \"till-1\""},
           {Replace(Clients, "name = \"screen\"", "name = \"till-1\""),
            "name = \"till-1\"\ntoken = \"screen", "client[2].name",
            "another [[client]] has the name"},
           {Replace(Clients, "screen-secret", "short"), "\"short\"", "client[2].token",
            "at least 8 characters"},
           {Replace(Clients, "role = \"viewer\"", "role = \"boss\""), "role", "client[2].role",
            "\"pos\", \"viewer\" or \"admin\""},
           {Replace(Clients, "name = \"screen\"\n", ""), "[[client]]\ntoken = \"screen",
            "client[2].name", "missing"},
           {Admin + Replace(Clients, "name = \"screen\"", "name = \"admin\""),
            "name = \"admin\"", "client[2].name", "the client of [station] token"},
           {Admin + Replace(Clients, "screen-secret", "station-secret"),
            "\"station-secret\"\nrole", "client[2].token", "is the token of [station]"},
           {std::string("[station]\nread_token = true\n") + Base, "read_token",
            "station.read_token", "needs a token or a [[client]]"},
           {std::string("[station]\nlock_timeout_s = 0\n") + Base, "lock_timeout_s",
            "station.lock_timeout_s", "outside 1..86400"},
           {std::string("[station]\njournal_max_mb = 0\n") + Base, "journal_max_mb",
            "station.journal_max_mb", "outside 1.."},
       })
    ExpectRefused(Fault);
}

TEST(Config, TheUplinkNamesItsBrokerAndTopicUnderAStationIdOfItsOwn) {
  const std::string Named = std::string("[station]\nid = \"station-7\"\n") + Base;
  const auto Config = ParseConfig(Named + R"(
[uplink]
broker = "127.0.0.1:1883"
topic = "de30/station-7"
)",
                                  "uplink.toml");
  ASSERT_TRUE(Config.Uplink);
  EXPECT_EQ(Config.Uplink->Host, "127.0.0.1");
  EXPECT_EQ(Config.Uplink->Port, 1883);
  EXPECT_EQ(Config.Uplink->Topic, "de30/station-7");
  EXPECT_EQ(Config.Uplink->ClientId, "de30d-station-7"); // stable: the broker knows it again
  EXPECT_EQ(Config.Uplink->KeepAlive, std::chrono::seconds(30));
  const auto Chosen = ParseConfig(Named + R"(
[uplink]
broker = "[fd00::1]:8883"
topic = "office/north/7"
client_id = "pumps-north-7"
keepalive_s = 10
)",
                                  "uplink.toml");
  EXPECT_EQ(Chosen.Uplink->Host, "fd00::1");
  EXPECT_EQ(Chosen.Uplink->ClientId, "pumps-north-7");
  EXPECT_EQ(Chosen.Uplink->KeepAlive, std::chrono::seconds(10));
  EXPECT_FALSE(ParseConfig(Base, "none.toml").Uplink); // no table, no uplink

  const std::string Uplink = "\n[uplink]\nbroker = \"127.0.0.1:1883\"\ntopic = \"de30/s7\"\n";
  for (const auto &Fault : std::vector<TFault>{
           // The default id would make two stations' sales look like duplicates.
           {std::string(Base) + Uplink, "[uplink]", "station.id", "required when [uplink]"},
           {std::string("[station]\nlisten = \"127.0.0.1:8030\"\n") + Base + Uplink, "[uplink]",
            "station.id", "required when [uplink]"},
           {Replace(Named + Uplink, "topic = \"de30/s7\"\n", ""), "[uplink]", "uplink.topic",
            "missing"},
           {Replace(Named + Uplink, "broker = \"127.0.0.1:1883\"\n", ""), "[uplink]",
            "uplink.broker", "missing"},
           {Replace(Named + Uplink, "127.0.0.1:1883", "127.0.0.1"), "broker", "uplink.broker",
            "port 1..65535"},
           {Replace(Named + Uplink, "127.0.0.1:1883", "127.0.0.1:0"), "broker", "uplink.broker",
            "port 1..65535"},
           {Replace(Named + Uplink, "de30/s7", "de30/+"), "topic", "uplink.topic", "wildcards"},
           {Replace(Named + Uplink, "de30/s7", "de30/#"), "topic", "uplink.topic", "wildcards"},
           {Replace(Named + Uplink, "de30/s7", "/de30"), "topic", "uplink.topic",
            "begin or end"},
           {Replace(Named + Uplink, "de30/s7", "de30/"), "topic", "uplink.topic",
            "begin or end"},
           {Replace(Named + Uplink, "de30/s7", "de30//s7"), "topic", "uplink.topic",
            "empty level"},
           {Replace(Named + Uplink, "de30/s7", "$SYS/s7"), "topic", "uplink.topic", "$"},
           {Replace(Named + Uplink, "de30/s7", std::string(201, 'a')), "topic", "uplink.topic",
            "longer than 200"},
           {Replace(Named + Uplink, "de30/s7", "de30\\ts7"), "topic", "uplink.topic",
            "control characters"},
           {Named + Uplink + "keepalive_s = 2\n", "keepalive_s", "uplink.keepalive_s",
            "2 is outside 5..3600"},
           {Named + Uplink + "client_id = \"\"\n", "client_id", "uplink.client_id",
            "must not be empty"},
           {Named + Uplink + "qos = 2\n", "qos", "uplink.qos", "unknown key"},
           {"uplink = \"127.0.0.1:1883\"\n" + Named, "uplink =", "uplink", "must be a table"},
       })
    ExpectRefused(Fault);
}

TEST(Config, AFileThatCannotBeReadIsNamed) {
  test::TTempDir Dir;
  try {
    LoadConfig(Dir / "missing.toml");
    FAIL() << "accepted";
  } catch (const EConfigError &Error) {
    EXPECT_EQ(Error.File(), (Dir / "missing.toml").string());
    EXPECT_EQ(Error.Line(), 0);
  }
}

} // namespace
} // namespace de30::station
