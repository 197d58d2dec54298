#include "station/config.hpp"

#include "capture/writer.hpp"
#include "de30/constants.hpp"

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace de30::station {

namespace {

// Pump addresses that fit the lead byte of every command.
constexpr int MaxPumpAddress = 31;
// The station's own grade numbers, independent of the pumps' six price slots.
constexpr int MaxGradeNumber = 99;
// Shorter than a reply takes at 2400 baud is never right; a minute is a dead line.
constexpr std::int64_t MinTimeoutMs = 50;
constexpr std::int64_t MaxTimeoutMs = 60000;
constexpr std::int64_t MaxOfflineAfter = 1000;
// An offline pump's probe waits this long for the first reply byte.
constexpr std::int64_t MinProbeMs = 20;
constexpr std::int64_t MaxProbeMs = 60000;
constexpr std::int64_t MinBackoffMs = 100;
constexpr std::int64_t MaxBackoffMs = 600000;
// libmosquitto takes no keep-alive below 5 s; an hour is past noticing a dead link.
constexpr std::int64_t MinKeepAliveS = 5;
constexpr std::int64_t MaxKeepAliveS = 3600;
// An office commits a sale within a second or two; an hour is past any outage
// a resend could wait out.
constexpr std::int64_t MinAckTimeoutS = 1;
constexpr std::int64_t MaxAckTimeoutS = 3600;
// Far below MQTT's own limits, far above any sensible name.
constexpr std::size_t MaxTopicLength = 200;
constexpr std::size_t MaxClientIdLength = 128;
// A client's name goes into the journal with every lock and clear.
constexpr std::size_t MaxClientNameLength = 64;
// A token short enough to guess is no token.
constexpr std::size_t MinClientTokenLength = 8;
constexpr std::int64_t MaxLockTimeoutS = 86400;
constexpr std::int64_t MaxJournalMb = 1 << 20;
// Time for the customer to walk from the till to the pump, and at most an hour.
constexpr std::int64_t MinAuthorizeTimeoutS = 5;
constexpr std::int64_t MaxAuthorizeTimeoutS = 3600;
// A capture file's size in MiB before it is rotated, and the files kept.
constexpr std::int64_t MaxCaptureMb = 65536;
constexpr std::int64_t MaxCaptureFiles = 100;

std::string Describe(const std::string &File, int Line, const std::string &Key,
                     const std::string &Message) {
  // Appended piece by piece: GCC 12 sees a false overlap in ":" + std::to_string()
  // once inlined into a release build.
  std::string Text = File;
  if (Line > 0)
    Text.append(":").append(std::to_string(Line));
  Text.append(": ");
  if (!Key.empty())
    Text.append(Key).append(": ");
  return Text.append(Message);
}

int LineOf(const toml::node &Node) { return static_cast<int>(Node.source().begin.line); }

const char *TypeName(const toml::node &Node) {
  switch (Node.type()) {
  case toml::node_type::table:
    return "a table";
  case toml::node_type::array:
    return "an array";
  case toml::node_type::string:
    return "a string";
  case toml::node_type::integer:
    return "an integer";
  case toml::node_type::floating_point:
    return "a number with a fraction";
  case toml::node_type::boolean:
    return "a boolean";
  default:
    return "a date or time";
  }
}

struct THostPort {
  std::string Host;
  std::int64_t Port = -1; // -1: no port given or not a number
};

// "host:port", "[v6 address]:port".
THostPort SplitHostPort(const std::string &Text) {
  THostPort Result;
  std::string Rest;
  if (!Text.empty() && Text.front() == '[') {
    const auto Close = Text.find(']');
    if (Close == std::string::npos || Close + 1 >= Text.size() || Text[Close + 1] != ':')
      return Result;
    Result.Host = Text.substr(1, Close - 1);
    Rest = Text.substr(Close + 2);
  } else {
    const auto Colon = Text.rfind(':');
    if (Colon == std::string::npos || Text.find(':') != Colon)
      return Result;
    Result.Host = Text.substr(0, Colon);
    Rest = Text.substr(Colon + 1);
  }
  if (Rest.empty() || Rest.size() > 5 || Rest.find_first_not_of("0123456789") != Rest.npos)
    return Result;
  Result.Port = std::stoi(Rest);
  return Result;
}

bool IsLoopback(const std::string &Host) {
  return Host == "localhost" || Host == "::1" || Host.rfind("127.", 0) == 0;
}

// Reads one table of the file so that every fault names its place. A key the
// table does not know is a typo or a setting of another version: it is refused
// before anything else, since the check it would have switched on must not be
// silently missing, and "missing" would send the reader after the wrong key.
class TReader {
public:
  TReader(const std::string &File, const toml::table &Table, std::string Name,
          std::initializer_list<std::string_view> Known)
      : InFile(File), Source(Table), Prefix(std::move(Name)) {
    for (const auto &[Key, Node] : Source) {
      bool Listed = false;
      for (const auto Allowed : Known)
        Listed = Listed || Key.str() == Allowed;
      if (!Listed) {
        const auto At = static_cast<int>(Key.source().begin.line);
        throw EConfigError(InFile, At ? At : LineOf(Node), Path(std::string(Key.str())),
                           "unknown key");
      }
    }
  }

  [[noreturn]] void Fail(const toml::node &Node, const std::string &Key,
                         const std::string &Message) const {
    throw EConfigError(InFile, LineOf(Node), Path(Key), Message);
  }
  [[noreturn]] void Fail(const std::string &Key, const std::string &Message) const {
    throw EConfigError(InFile, LineOf(Source), Path(Key), Message);
  }
  // Worded as a fault is, for a file that is accepted all the same.
  std::string Warning(const toml::node &Node, const std::string &Key,
                      const std::string &Message) const {
    return Describe(InFile, LineOf(Node), Path(Key), Message);
  }

  const toml::node *Find(const std::string &Key) const { return Source.get(Key); }
  const toml::node &Need(const std::string &Key) {
    const auto *Node = Find(Key);
    if (!Node)
      Fail(Key, "missing");
    return *Node;
  }

  std::int64_t Integer(const toml::node &Node, const std::string &Key, std::int64_t Min,
                       std::int64_t Max) const {
    if (!Node.is_integer())
      Fail(Node, Key, std::string("must be an integer, not ") + TypeName(Node));
    const auto Value = Node.as_integer()->get();
    if (Value < Min || Value > Max)
      Fail(Node, Key,
           std::to_string(Value) + " is outside " + std::to_string(Min) + ".." +
               std::to_string(Max));
    return Value;
  }
  std::optional<std::int64_t> Integer(const std::string &Key, std::int64_t Min,
                                      std::int64_t Max) {
    const auto *Node = Find(Key);
    if (!Node)
      return std::nullopt;
    return Integer(*Node, Key, Min, Max);
  }
  std::int64_t NeedInteger(const std::string &Key, std::int64_t Min, std::int64_t Max) {
    return Integer(Need(Key), Key, Min, Max);
  }

  std::string String(const toml::node &Node, const std::string &Key) const {
    if (!Node.is_string())
      Fail(Node, Key, std::string("must be a string, not ") + TypeName(Node));
    auto Value = Node.as_string()->get();
    if (Value.empty())
      Fail(Node, Key, "must not be empty");
    return Value;
  }
  std::optional<std::string> String(const std::string &Key) {
    const auto *Node = Find(Key);
    if (!Node)
      return std::nullopt;
    return String(*Node, Key);
  }

  std::optional<bool> Boolean(const std::string &Key) {
    const auto *Node = Find(Key);
    if (!Node)
      return std::nullopt;
    if (!Node->is_boolean())
      Fail(*Node, Key, std::string("must be true or false, not ") + TypeName(*Node));
    return Node->as_boolean()->get();
  }

  std::string Path(const std::string &Key) const {
    return Prefix.empty() ? Key : Prefix + "." + Key;
  }

private:
  const std::string &InFile;
  const toml::table &Source;
  std::string Prefix;
};

// The entries of an array of tables ([[pump]]), each with its name ("pump[2]").
std::vector<std::pair<const toml::table *, std::string>>
Entries(const std::string &File, TReader &Top, const std::string &Key) {
  std::vector<std::pair<const toml::table *, std::string>> Result;
  const auto *Node = Top.Find(Key);
  if (!Node)
    return Result;
  const auto *Array = Node->as_array();
  if (!Array || !Array->is_array_of_tables())
    throw EConfigError(File, LineOf(*Node), Key,
                       "must be a list of tables, written [[" + Key + "]]");
  int Index = 0;
  for (const auto &Entry : *Array)
    Result.emplace_back(Entry.as_table(), Key + "[" + std::to_string(++Index) + "]");
  return Result;
}

void ReadStation(const std::string &File, TReader &Top, TStationConfig &Config) {
  const auto *Node = Top.Find("station");
  if (!Node)
    return;
  const auto *Table = Node->as_table();
  if (!Table)
    throw EConfigError(File, LineOf(*Node), "station",
                       std::string("must be a table, not ") + TypeName(*Node));
  TReader Station(File, *Table, "station",
                  {"id", "listen", "journal", "token", "read_token", "lock_timeout_s",
                   "journal_max_mb", "host_names", "offline_after", "offline_backoff_ms",
                   "absent_backoff_ms", "offline_probe_ms", "authorize_timeout_s"});
  if (auto Id = Station.String("id"))
    Config.StationId = *Id;
  const toml::node *ListenNode = Station.Find("listen");
  if (ListenNode) {
    const auto Listen = SplitHostPort(Station.String(*ListenNode, "listen"));
    // Port 0 lets the system choose a free port (tests, a second instance).
    if (Listen.Host.empty() || Listen.Port < 0 || Listen.Port > 65535)
      Station.Fail(*ListenNode, "listen", "must be \"host:port\" with a port 0..65535");
    Config.ListenHost = Listen.Host;
    Config.ListenPort = static_cast<std::uint16_t>(Listen.Port);
  }
  if (auto Journal = Station.String("journal"))
    Config.Journal = *Journal;
  const toml::node *TokenNode = Station.Find("token");
  if (TokenNode)
    Config.Token = Station.String(*TokenNode, "token");
  if (const toml::node *Names = Station.Find("host_names")) {
    const auto *List = Names->as_array();
    if (!List)
      Station.Fail(*Names, "host_names",
                   std::string("must be a list of host names, not ") + TypeName(*Names));
    for (const auto &Name : *List) {
      const auto *Text = Name.as_string();
      if (!Text || Text->get().empty())
        Station.Fail(Name, "host_names", "each entry must be a non-empty string");
      Config.HostNames.push_back(Text->get());
    }
  }
  if (auto After = Station.Integer("offline_after", 1, MaxOfflineAfter))
    Config.OfflineAfter = static_cast<int>(*After);
  if (auto Backoff = Station.Integer("offline_backoff_ms", MinBackoffMs, MaxBackoffMs))
    Config.OfflineBackoffMax = std::chrono::milliseconds(*Backoff);
  if (auto Absent = Station.Integer("absent_backoff_ms", MinBackoffMs, MaxBackoffMs))
    Config.AbsentBackoffMax = std::chrono::milliseconds(*Absent);
  if (auto Probe = Station.Integer("offline_probe_ms", MinProbeMs, MaxProbeMs))
    Config.OfflineProbeTimeout = std::chrono::milliseconds(*Probe);
  if (auto Timeout =
          Station.Integer("authorize_timeout_s", MinAuthorizeTimeoutS, MaxAuthorizeTimeoutS))
    Config.AuthorizeTimeout = std::chrono::seconds(*Timeout);
  if (auto Read = Station.Boolean("read_token"))
    Config.ReadToken = *Read;
  if (auto Lock = Station.Integer("lock_timeout_s", 1, MaxLockTimeoutS))
    Config.LockTimeout = std::chrono::seconds(*Lock);
  if (auto Size = Station.Integer("journal_max_mb", 1, MaxJournalMb))
    Config.JournalMaxBytes = *Size << 20;
}

bool HasControlCharacters(const std::string &Text);

// [[client]]: the POS systems, viewers and administrators the service knows by
// their tokens. Checked after [station], whose token is one more admin client.
void ReadClients(const std::string &File, TReader &Top, TStationConfig &Config) {
  for (const auto &[Table, Name] : Entries(File, Top, "client")) {
    TReader Client(File, *Table, Name, {"name", "token", "role"});
    TClientConfig Entry;
    const auto &NameNode = Client.Need("name");
    Entry.Name = Client.String(NameNode, "name");
    if (Entry.Name.empty() || Entry.Name.size() > MaxClientNameLength ||
        HasControlCharacters(Entry.Name))
      Client.Fail(NameNode, "name",
                  "1.." + std::to_string(MaxClientNameLength) +
                      " characters, none of them control characters");
    if (!Config.Token.empty() && Entry.Name == StationTokenClient)
      Client.Fail(NameNode, "name",
                  std::string("\"") + StationTokenClient +
                      "\" is the client of [station] token; choose another name");
    for (const auto &Other : Config.Clients)
      if (Other.Name == Entry.Name)
        Client.Fail(NameNode, "name", "another [[client]] has the name \"" + Entry.Name + "\"");
    const auto &TokenNode = Client.Need("token");
    Entry.Token = Client.String(TokenNode, "token");
    if (Entry.Token.size() < MinClientTokenLength || HasControlCharacters(Entry.Token))
      Client.Fail(TokenNode, "token",
                  "at least " + std::to_string(MinClientTokenLength) +
                      " characters, none of them control characters");
    if (Entry.Token == Config.Token)
      Client.Fail(TokenNode, "token", "is the token of [station]: each client needs its own");
    for (const auto &Other : Config.Clients)
      if (Other.Token == Entry.Token)
        Client.Fail(TokenNode, "token",
                    "is the token of client \"" + Other.Name + "\": each client needs its own");
    if (const auto *RoleNode = Client.Find("role")) {
      const auto Role = ParseClientRole(Client.String(*RoleNode, "role"));
      if (!Role)
        Client.Fail(*RoleNode, "role", "must be \"pos\", \"viewer\" or \"admin\"");
      Entry.Role = *Role;
    }
    Config.Clients.push_back(std::move(Entry));
  }
}

// Who may do what, once [station] and [[client]] are read: a service anyone on
// the network can reach needs credentials, and so does one that guards its reads.
void CheckCredentials(const std::string &File, TReader &Top, const TStationConfig &Config) {
  if (!Config.Token.empty() || !Config.Clients.empty())
    return;
  const auto *Station = Top.Find("station");
  const auto *Table = Station ? Station->as_table() : nullptr;
  const auto LineAt = [&](const char *Key) {
    const auto *Node = Table ? Table->get(Key) : nullptr;
    return Node ? LineOf(*Node) : Station ? LineOf(*Station) : 0;
  };
  if (!IsLoopback(Config.ListenHost))
    throw EConfigError(File, LineAt("listen"), "station.token",
                       "required when listen is not a loopback address (" + Config.ListenHost +
                           "), or a [[client]]");
  if (Config.ReadToken)
    throw EConfigError(File, LineAt("read_token"), "station.read_token",
                       "needs a token or a [[client]] to check reads against");
}

// Why a configured topic cannot carry de30d's messages; empty when it can. The
// levels de30d adds (/sales, /pumps/...) must stay beneath it.
std::string TopicFault(const std::string &Topic) {
  if (Topic.size() > MaxTopicLength)
    return "longer than " + std::to_string(MaxTopicLength) + " characters";
  if (Topic.find_first_of("+#") != std::string::npos)
    return "must not hold the wildcards + or # (messages are published to it)";
  if (Topic.front() == '$')
    return "must not begin with $ (the broker's own topics)";
  if (Topic.front() == '/' || Topic.back() == '/' || Topic.find("//") != std::string::npos)
    return "must not begin or end with / nor have an empty level";
  for (const unsigned char C : Topic)
    if (C < 0x20 || C == 0x7f)
      return "must not hold control characters";
  return {};
}

bool HasControlCharacters(const std::string &Text) {
  for (const unsigned char C : Text)
    if (C < 0x20 || C == 0x7f)
      return true;
  return false;
}

// A file the uplink reads at start, named relative to the configuration's
// folder unless absolute; refused when it cannot be read now.
std::string UplinkFile(TReader &Uplink, const std::string &File, const std::string &Key,
                       const toml::node &Node) {
  std::filesystem::path Path = Uplink.String(Node, Key);
  if (Path.is_relative())
    Path = std::filesystem::path(File).parent_path() / Path;
  std::error_code Error;
  if (std::filesystem::is_directory(Path, Error))
    Uplink.Fail(Node, Key, Path.string() + " is a folder, not a file");
  std::ifstream In(Path, std::ios::binary);
  if (!In)
    Uplink.Fail(
        Node, Key,
        Path.string() + " cannot be read (" +
            (std::filesystem::exists(Path, Error) ? "permission denied" : "no such file") +
            ")");
  return Path.string();
}

// The password: the file's first line, without its line end.
std::string ReadPassword(TReader &Uplink, const std::string &Path, const toml::node &Node) {
  std::ifstream In(Path, std::ios::binary);
  std::string Password;
  std::getline(In, Password);
  if (!Password.empty() && Password.back() == '\r')
    Password.pop_back();
  if (Password.empty())
    Uplink.Fail(Node, "password_file", Path + ": the first line (the password) is empty");
  if (HasControlCharacters(Password))
    Uplink.Fail(Node, "password_file", Path + ": the password holds control characters");
  return Password;
}

void ReadUplinkSecurity(const std::string &File, TReader &Uplink, TUplinkConfig &Entry,
                        std::vector<std::string> &Warnings) {
  const auto *Ca = Uplink.Find("ca_file");
  const auto *Cert = Uplink.Find("cert_file");
  const auto *Key = Uplink.Find("key_file");
  if (Ca)
    Entry.CaFile = UplinkFile(Uplink, File, "ca_file", *Ca);
  if ((Cert != nullptr) != (Key != nullptr))
    Uplink.Fail(Cert ? *Cert : *Key, Cert ? "key_file" : "cert_file",
                "cert_file and key_file go together: the station's certificate and its key");
  if (Cert && !Ca)
    Uplink.Fail(*Cert, "ca_file",
                "required with cert_file: a client certificate is only sent over TLS, and TLS "
                "needs the CA that signed the broker's certificate");
  if (Cert) {
    Entry.CertFile = UplinkFile(Uplink, File, "cert_file", *Cert);
    Entry.KeyFile = UplinkFile(Uplink, File, "key_file", *Key);
    std::error_code Error;
    const auto Mode = std::filesystem::status(Entry.KeyFile, Error).permissions();
    using std::filesystem::perms;
    if (!Error && (Mode & perms::others_read) != perms::none)
      Warnings.push_back(Uplink.Warning(*Key, "key_file",
                                        Entry.KeyFile +
                                            " can be read by every user of this "
                                            "machine; make it readable by de30d only"));
  }
  const auto *User = Uplink.Find("username");
  const auto *Password = Uplink.Find("password_file");
  if (User) {
    Entry.Username = Uplink.String(*User, "username");
    if (HasControlCharacters(Entry.Username))
      Uplink.Fail(*User, "username", "must not hold control characters");
  }
  if (Password) {
    if (!User)
      Uplink.Fail(*Password, "password_file", "needs username: a password is for a user name");
    // A password sent in clear is anyone's on the way: only to this machine's broker.
    if (!Ca && !IsLoopback(Entry.Host))
      Uplink.Fail(*Password, "password_file",
                  "would go in clear to " + Entry.Host +
                      ": set ca_file so that it goes over TLS");
    Entry.PasswordFile = UplinkFile(Uplink, File, "password_file", *Password);
    Entry.Password = ReadPassword(Uplink, Entry.PasswordFile, *Password);
    std::error_code Error;
    const auto Mode = std::filesystem::status(Entry.PasswordFile, Error).permissions();
    using std::filesystem::perms;
    if (!Error && (Mode & perms::others_read) != perms::none)
      Warnings.push_back(Uplink.Warning(*Password, "password_file",
                                        Entry.PasswordFile +
                                            " can be read by every user of this machine; "
                                            "make it readable by de30d only"));
  }
}

void ReadUplink(const std::string &File, TReader &Top, TStationConfig &Config) {
  const auto *Node = Top.Find("uplink");
  if (!Node)
    return;
  const auto *Table = Node->as_table();
  if (!Table)
    throw EConfigError(File, LineOf(*Node), "uplink",
                       std::string("must be a table, not ") + TypeName(*Node));
  TReader Uplink(File, *Table, "uplink",
                 {"broker", "topic", "client_id", "keepalive_s", "ca_file", "cert_file",
                  "key_file", "username", "password_file", "acknowledged_by", "ack_timeout_s"});
  TUplinkConfig Entry;
  const auto &Broker = Uplink.Need("broker");
  const auto Address = SplitHostPort(Uplink.String(Broker, "broker"));
  if (Address.Host.empty() || Address.Port < 1 || Address.Port > 65535)
    Uplink.Fail(Broker, "broker",
                "must be \"host:port\" with a port 1..65535, e.g. "
                "\"127.0.0.1:1883\"");
  Entry.Host = Address.Host;
  Entry.Port = static_cast<std::uint16_t>(Address.Port);
  const auto &Topic = Uplink.Need("topic");
  Entry.Topic = Uplink.String(Topic, "topic");
  if (const auto Fault = TopicFault(Entry.Topic); !Fault.empty())
    Uplink.Fail(Topic, "topic", Fault);
  // Two stations under one id would have their sales taken for each other's
  // duplicates at the office: the id must be chosen, not defaulted.
  const auto *Station = Top.Find("station");
  const bool Named = Station && Station->as_table() && Station->as_table()->get("id");
  if (!Named)
    throw EConfigError(File, LineOf(*Node), "station.id",
                       "required when [uplink] is set: the head office tells the sales of "
                       "its stations apart by it");
  if (HasControlCharacters(Config.StationId))
    throw EConfigError(File, LineOf(*Station->as_table()->get("id")), "station.id",
                       "must not hold control characters");
  Entry.ClientId = "de30d-" + Config.StationId;
  if (const auto *Id = Uplink.Find("client_id")) {
    Entry.ClientId = Uplink.String(*Id, "client_id");
    if (Entry.ClientId.size() > MaxClientIdLength || HasControlCharacters(Entry.ClientId))
      Uplink.Fail(*Id, "client_id",
                  "at most " + std::to_string(MaxClientIdLength) +
                      " characters, none of them control characters");
  }
  if (auto KeepAlive = Uplink.Integer("keepalive_s", MinKeepAliveS, MaxKeepAliveS))
    Entry.KeepAlive = std::chrono::seconds(*KeepAlive);
  if (const auto *By = Uplink.Find("acknowledged_by")) {
    const auto Who = Uplink.String(*By, "acknowledged_by");
    if (Who == "office")
      Entry.AcknowledgedBy = TUplinkConfig::TAcknowledgedBy::Office;
    else if (Who == "broker")
      Entry.AcknowledgedBy = TUplinkConfig::TAcknowledgedBy::Broker;
    else
      Uplink.Fail(*By, "acknowledged_by", "must be \"office\" or \"broker\"");
  }
  if (auto Timeout = Uplink.Integer("ack_timeout_s", MinAckTimeoutS, MaxAckTimeoutS)) {
    if (Entry.AcknowledgedBy == TUplinkConfig::TAcknowledgedBy::Broker)
      Uplink.Fail(*Uplink.Find("ack_timeout_s"), "ack_timeout_s",
                  "applies to the office's acknowledgements, not with acknowledged_by = "
                  "\"broker\"");
    Entry.AckTimeout = std::chrono::seconds(*Timeout);
  }
  ReadUplinkSecurity(File, Uplink, Entry, Config.Warnings);
  Config.Uplink = std::move(Entry);
}

void ReadGrades(const std::string &File, TReader &Top, TStationConfig &Config) {
  for (const auto &[Table, Name] : Entries(File, Top, "grade")) {
    TReader Grade(File, *Table, Name, {"number", "name"});
    TGrade Entry;
    const auto &Number = Grade.Need("number");
    Entry.Number = static_cast<int>(Grade.Integer(Number, "number", 1, MaxGradeNumber));
    if (Config.FindGrade(Entry.Number))
      Grade.Fail(Number, "number",
                 "grade " + std::to_string(Entry.Number) + " is configured twice");
    Entry.Name = Grade.String(Grade.Need("name"), "name");
    Config.Grades.push_back(std::move(Entry));
  }
}

// The line's capture and its rotation. Lines may share a file (one capture of the
// station) if they rotate it alike; a file that another line's rotation would
// overwrite is refused.
void ReadCapture(TReader &Line, TLineConfig &Entry, const TStationConfig &Config) {
  const std::vector<TLineConfig> &Before = Config.Lines;
  const auto *Node = Line.Find("capture");
  const auto *Size = Line.Find("capture_max_mb");
  const auto *Files = Line.Find("capture_files");
  if (!Node) {
    if (Size || Files)
      Line.Fail(Size ? *Size : *Files, Size ? "capture_max_mb" : "capture_files",
                "applies to a captured line only: add capture = \"FILE\"");
    return;
  }
  Entry.Capture = Line.String(*Node, "capture");
  if (Size)
    Entry.CaptureMaxBytes =
        static_cast<std::uint64_t>(Line.Integer(*Size, "capture_max_mb", 1, MaxCaptureMb))
        << 20;
  if (Files)
    Entry.CaptureFiles =
        static_cast<unsigned>(Line.Integer(*Files, "capture_files", 1, MaxCaptureFiles));
  const auto Same = [](const std::string &A, const std::string &B) {
    return std::filesystem::path(A).lexically_normal() ==
           std::filesystem::path(B).lexically_normal();
  };
  for (unsigned I = 0; I < Entry.CaptureFiles; ++I)
    if (Same(capture::RotatedName(Entry.Capture, I), Config.Journal.string()))
      Line.Fail(*Node, "capture",
                "would overwrite the journal (" + Config.Journal.string() + ")");
  for (const TLineConfig &Other : Before) {
    if (Other.Capture.empty())
      continue;
    const std::string Them = "line " + std::to_string(Other.Number);
    if (Same(Other.Capture, Entry.Capture)) {
      if (Other.CaptureMaxBytes != Entry.CaptureMaxBytes ||
          Other.CaptureFiles != Entry.CaptureFiles)
        Line.Fail(*Node, "capture",
                  Them + " writes this file too, with another capture_max_mb or "
                         "capture_files: lines that share a file rotate it alike");
      continue;
    }
    for (unsigned I = 1; I < std::max(Other.CaptureFiles, Entry.CaptureFiles); ++I)
      if ((I < Other.CaptureFiles &&
           Same(capture::RotatedName(Other.Capture, I), Entry.Capture)) ||
          (I < Entry.CaptureFiles &&
           Same(capture::RotatedName(Entry.Capture, I), Other.Capture)))
        Line.Fail(*Node, "capture",
                  "the rotation of " + Them + "'s capture (" + Other.Capture +
                      ") and this one would overwrite each other's files");
  }
}

const char *KindOf(std::filesystem::file_type Type) {
  using std::filesystem::file_type;
  switch (Type) {
  case file_type::regular:
    return "a regular file";
  case file_type::directory:
    return "a directory";
  case file_type::block:
    return "a block device";
  case file_type::fifo:
    return "a named pipe";
  case file_type::socket:
    return "a socket";
  default:
    return "not a device";
  }
}

// The port a line's bytes travel on, as "serial:PATH" or "tcp:HOST:PORT", so
// that two lines on one port are told apart from two lines on two. A device that
// exists is named by its canonical path: /dev/serial/by-id/... and the ttyUSB it
// leads to are one port.
std::string SerialPort(TReader &Line, const toml::node &Node, const std::string &Device,
                       std::vector<std::string> &Warnings) {
  namespace fs = std::filesystem;
  const fs::path Path(Device);
  if (!Path.is_absolute())
    Line.Fail(Node, "serial",
              "must be an absolute path such as /dev/ttyUSB0, not \"" + Device + "\"");
  std::error_code Error;
  const fs::file_status Status = fs::status(Path, Error);
  if (Status.type() == fs::file_type::not_found) {
    // A USB adapter unplugged at start: the line is opened when it is back.
    Warnings.push_back(Line.Warning(
        Node, "serial", Device + " does not exist (yet); the line is opened once it appears"));
    return "serial:" + Path.lexically_normal().string();
  }
  if (Error) {
    Warnings.push_back(
        Line.Warning(Node, "serial", Device + " cannot be looked at: " + Error.message()));
    return "serial:" + Path.lexically_normal().string();
  }
  if (Status.type() != fs::file_type::character)
    Line.Fail(Node, "serial",
              Device + " is " + KindOf(Status.type()) + ", not a serial device");
  const fs::path Canonical = fs::canonical(Path, Error);
  return "serial:" + (Error ? Path.lexically_normal() : Canonical).string();
}

// Two lines on one port would read each other's replies.
void Claim(TReader &Line, const toml::node &Node, const std::string &Key,
           const std::string &Written, const std::string &Port, int Number,
           std::map<std::string, int> &Ports) {
  const auto [Taken, Free] = Ports.emplace(Port, Number);
  if (Free)
    return;
  const std::string Other = "line " + std::to_string(Taken->second);
  if (Key == "serial") {
    const std::string Device = Port.substr(Port.find(':') + 1);
    Line.Fail(Node, Key,
              Written + (Device != Written ? " (" + Device + ")" : "") + " is the device of " +
                  Other + " already: two lines cannot share one serial port");
  }
  Line.Fail(Node, Key,
            Written + " is the address of " + Other +
                " already: two lines cannot share one port of a device server");
}

std::string Lowercase(std::string Text) {
  for (char &C : Text)
    C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Text;
}

void ReadLines(const std::string &File, TReader &Top, TStationConfig &Config) {
  std::set<int> Numbers;
  std::map<std::string, int> Ports; // each port, and the line on it
  for (const auto &[Table, Name] : Entries(File, Top, "line")) {
    TReader Line(File, *Table, Name,
                 {"number", "serial", "tcp", "tap", "gap_ms", "timeout_ms", "capture",
                  "capture_max_mb", "capture_files"});
    TLineConfig Entry;
    const auto &Number = Line.Need("number");
    Entry.Number = static_cast<int>(Line.Integer(Number, "number", 1, LineCount));
    if (!Numbers.insert(Entry.Number).second)
      Line.Fail(Number, "number",
                "line " + std::to_string(Entry.Number) + " is configured twice");
    const auto *Serial = Line.Find("serial");
    const auto *Tcp = Line.Find("tcp");
    if (Serial && Tcp)
      Line.Fail(*Tcp, "tcp", "a line is either serial or tcp, not both");
    if (!Serial && !Tcp)
      Line.Fail("serial", "missing (give serial = \"/dev/...\" or tcp = \"host:port\")");
    if (Serial) {
      Entry.Serial = Line.String(*Serial, "serial");
      Claim(Line, *Serial, "serial", Entry.Serial,
            SerialPort(Line, *Serial, Entry.Serial, Config.Warnings), Entry.Number, Ports);
    }
    if (Tcp) {
      const std::string Written = Line.String(*Tcp, "tcp");
      const auto Address = SplitHostPort(Written);
      if (Address.Host.empty() || Address.Port < 1 || Address.Port > 65535)
        Line.Fail(*Tcp, "tcp", "must be \"host:port\" with a port 1..65535");
      Entry.TcpHost = Address.Host;
      Entry.TcpPort = static_cast<std::uint16_t>(Address.Port);
      Claim(Line, *Tcp, "tcp", Written,
            "tcp:" + Lowercase(Address.Host) + ":" + std::to_string(Address.Port), Entry.Number,
            Ports);
    }
    if (auto Tap = Line.Boolean("tap"))
      Entry.Tap = *Tap;
    if (Entry.Tap) {
      // A tap line is only listened to: what would shape the station's own
      // exchanges on it has nothing to act on.
      if (const auto *Timeout = Line.Find("timeout_ms"))
        Line.Fail(*Timeout, "timeout_ms",
                  "a tap line sends nothing, so it waits for no reply: drop timeout_ms or "
                  "tap");
      if (const auto *Capture = Line.Find("capture"))
        Line.Fail(*Capture, "capture",
                  "a tap line is not captured by de30d; capture it with de30ctl tap --capture");
    }
    if (const auto *Gap = Line.Find("gap_ms")) {
      if (!Entry.Tap)
        Line.Fail(*Gap, "gap_ms", "splits what a tap line hears: only with tap = true");
      Entry.TapGap = std::chrono::milliseconds(Line.Integer(*Gap, "gap_ms", 1, 1000));
    }
    if (auto Timeout = Line.Integer("timeout_ms", MinTimeoutMs, MaxTimeoutMs))
      Entry.Timeout = std::chrono::milliseconds(*Timeout);
    ReadCapture(Line, Entry, Config);
    Config.Lines.push_back(std::move(Entry));
  }
}

void ReadPumps(const std::string &File, TReader &Top, TStationConfig &Config) {
  for (const auto &[Table, Name] : Entries(File, Top, "pump")) {
    TReader Pump(
        File, *Table, Name,
        {"line", "address", "nozzles", "auto_authorize", "totals", "authorize_timeout_s"});
    TPumpConfig Entry;
    const auto &LineNode = Pump.Need("line");
    Entry.Line = static_cast<int>(Pump.Integer(LineNode, "line", 1, LineCount));
    bool LineKnown = false;
    for (const auto &Line : Config.Lines)
      LineKnown = LineKnown || Line.Number == Entry.Line;
    if (!LineKnown)
      Pump.Fail(LineNode, "line", "line " + std::to_string(Entry.Line) + " is not configured");
    const auto &Address = Pump.Need("address");
    Entry.Address = static_cast<int>(Pump.Integer(Address, "address", 1, MaxPumpAddress));
    if (Config.FindPump(Entry.Line, Entry.Address))
      Pump.Fail(Address, "address",
                "pump " + std::to_string(Entry.Address) + " on line " +
                    std::to_string(Entry.Line) + " is configured twice");
    const auto &Nozzles = Pump.Need("nozzles");
    const auto *List = Nozzles.as_array();
    if (!List)
      Pump.Fail(Nozzles, "nozzles",
                std::string("must be a list of grade numbers, not ") + TypeName(Nozzles));
    if (List->empty() || List->size() > static_cast<std::size_t>(ReportedNozzles))
      Pump.Fail(Nozzles, "nozzles",
                std::to_string(List->size()) + " nozzles; a pump has 1.." +
                    std::to_string(ReportedNozzles));
    for (const auto &Nozzle : *List) {
      const auto Grade = static_cast<int>(Pump.Integer(Nozzle, "nozzles", 1, MaxGradeNumber));
      if (!Config.FindGrade(Grade))
        Pump.Fail(Nozzle, "nozzles", "grade " + std::to_string(Grade) + " is not configured");
      Entry.Nozzles.push_back(Grade);
    }
    const TLineConfig *OnLine = nullptr;
    for (const auto &Line : Config.Lines)
      if (Line.Number == Entry.Line)
        OnLine = &Line;
    if (OnLine != nullptr && OnLine->Tap) {
      // Another controller authorises and stops the pumps of a tap line.
      for (const char *Key : {"auto_authorize", "authorize_timeout_s"})
        if (const auto *Node = Pump.Find(Key))
          Pump.Fail(*Node, Key,
                    "line " + std::to_string(Entry.Line) +
                        " is a tap line: another controller authorises and stops its pumps");
    }
    if (auto Auto = Pump.Boolean("auto_authorize"))
      Entry.AutoAuthorize = *Auto;
    if (auto Timeout =
            Pump.Integer("authorize_timeout_s", MinAuthorizeTimeoutS, MaxAuthorizeTimeoutS))
      Entry.AuthorizeTimeout = std::chrono::seconds(*Timeout);
    if (auto Layout = Pump.String("totals")) {
      if (*Layout == "sum")
        Entry.Totals = TTotalsLayout::Sum;
      else if (*Layout == "per_nozzle")
        Entry.Totals = TTotalsLayout::PerNozzle;
      else if (*Layout != "unknown")
        Pump.Fail(*Pump.Find("totals"), "totals",
                  "must be \"sum\", \"per_nozzle\" or \"unknown\", not \"" + *Layout + "\"");
    }
    Config.Pumps.push_back(std::move(Entry));
  }
}

} // namespace

std::string TPumpConfig::Id() const {
  return std::to_string(Line) + ":" + std::to_string(Address);
}

bool TPumpConfig::TotalsCover(int Nozzle) const {
  if (NozzleCount() == 1)
    return true;
  if (NozzleCount() != 2)
    return false;
  if (Totals == TTotalsLayout::Sum)
    return true;
  return Totals == TTotalsLayout::PerNozzle && Nozzle == 2;
}

const char *ClientRoleName(TClientRole Role) {
  switch (Role) {
  case TClientRole::Pos:
    return "pos";
  case TClientRole::Viewer:
    return "viewer";
  case TClientRole::Admin:
    return "admin";
  }
  return "pos";
}

std::optional<TClientRole> ParseClientRole(const std::string &Name) {
  for (const auto Role : {TClientRole::Pos, TClientRole::Viewer, TClientRole::Admin})
    if (Name == ClientRoleName(Role))
      return Role;
  return std::nullopt;
}

const char *TotalsLayoutName(TTotalsLayout Layout) {
  switch (Layout) {
  case TTotalsLayout::Sum:
    return "sum";
  case TTotalsLayout::PerNozzle:
    return "per_nozzle";
  case TTotalsLayout::Unknown:
    break;
  }
  return "unknown";
}

const TGrade *TStationConfig::FindGrade(int Number) const {
  for (const auto &Grade : Grades)
    if (Grade.Number == Number)
      return &Grade;
  return nullptr;
}

const TPumpConfig *TStationConfig::FindPump(int Line, int Address) const {
  for (const auto &Pump : Pumps)
    if (Pump.Line == Line && Pump.Address == Address)
      return &Pump;
  return nullptr;
}

EConfigError::EConfigError(std::string File, int Line, std::string Key,
                           const std::string &Message)
    : std::runtime_error(Describe(File, Line, Key, Message)), Where(std::move(File)), At(Line),
      Name(std::move(Key)) {}

TStationConfig ParseConfig(const std::string &Text, const std::string &File) {
  toml::table Root;
  try {
    Root = toml::parse(Text, File);
  } catch (const toml::parse_error &Error) {
    throw EConfigError(File, static_cast<int>(Error.source().begin.line), "",
                       std::string(Error.description()));
  }
  TStationConfig Config;
  TReader Top(File, Root, "", {"station", "client", "grade", "line", "pump", "uplink"});
  ReadStation(File, Top, Config);
  ReadClients(File, Top, Config);
  CheckCredentials(File, Top, Config);
  ReadUplink(File, Top, Config);
  ReadGrades(File, Top, Config);
  ReadLines(File, Top, Config);
  ReadPumps(File, Top, Config);
  if (Config.Lines.empty())
    throw EConfigError(File, 0, "line", "no line is configured (add a [[line]] table)");
  if (Config.Pumps.empty())
    throw EConfigError(File, 0, "pump", "no pump is configured (add a [[pump]] table)");
  return Config;
}

TStationConfig LoadConfig(const std::filesystem::path &File) {
  std::ifstream In(File, std::ios::binary);
  if (!In)
    throw EConfigError(File.string(), 0, "", "cannot be read");
  std::ostringstream Text;
  Text << In.rdbuf();
  if (In.bad())
    throw EConfigError(File.string(), 0, "", "cannot be read");
  return ParseConfig(Text.str(), File.string());
}

TUplinkFile LoadUplinkFile(const std::filesystem::path &Path) {
  const std::string File = Path.string();
  std::ifstream In(Path, std::ios::binary);
  if (!In)
    throw EConfigError(File, 0, "", "cannot be read");
  std::ostringstream Text;
  Text << In.rdbuf();
  toml::table Root;
  try {
    Root = toml::parse(Text.str(), File);
  } catch (const toml::parse_error &Error) {
    throw EConfigError(File, static_cast<int>(Error.source().begin.line), "",
                       std::string(Error.description()));
  }
  TReader Top(File, Root, "", {"station", "uplink"});
  TStationConfig Config;
  if (const auto *Node = Top.Find("station"); Node && Node->as_table()) {
    TReader Station(File, *Node->as_table(), "station", {"id"});
    Config.StationId = Station.String(Station.Need("id"), "id");
  }
  ReadUplink(File, Top, Config);
  if (!Config.Uplink)
    throw EConfigError(File, 0, "uplink", "missing: this file is for the uplink");
  return {Config.StationId, std::move(*Config.Uplink), std::move(Config.Warnings)};
}

} // namespace de30::station
