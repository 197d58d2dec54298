#include "office_config.hpp"

#include <toml++/toml.h>

#include <fstream>
#include <sstream>

namespace de30::office {
namespace {

// The shared subscription's group and the topic prefix go into topic filters.
bool FitsTopic(const std::string &Text, bool Levels) {
  if (Text.empty() || Text.size() > 200 || Text.front() == '$' ||
      Text.find_first_of("+#") != std::string::npos)
    return false;
  if (!Levels && Text.find('/') != std::string::npos)
    return false;
  if (Text.front() == '/' || Text.back() == '/' || Text.find("//") != std::string::npos)
    return false;
  for (const unsigned char C : Text)
    if (C < 0x20 || C == 0x7f)
      return false;
  return true;
}

class TTable {
public:
  TTable(const std::string &File, const toml::table &Table, std::string Name,
         std::initializer_list<std::string_view> Known)
      : InFile(File), Source(Table), Prefix(std::move(Name)) {
    for (const auto &[Key, Node] : Source) {
      bool Listed = false;
      for (const auto Allowed : Known)
        Listed = Listed || Key.str() == Allowed;
      if (!Listed)
        Fail(Node, std::string(Key.str()), "unknown key");
    }
  }
  [[noreturn]] void Fail(const toml::node &Node, const std::string &Key,
                         const std::string &Message) const {
    throw EOfficeConfigError(InFile + ":" + std::to_string(Node.source().begin.line) + ": " +
                             Prefix + "." + Key + ": " + Message);
  }
  [[noreturn]] void Missing(const std::string &Key) const {
    throw EOfficeConfigError(InFile + ": " + Prefix + "." + Key + ": missing");
  }
  const toml::node *Find(const std::string &Key) const { return Source.get(Key); }
  std::string String(const toml::node &Node, const std::string &Key) const {
    if (!Node.is_string() || Node.as_string()->get().empty())
      Fail(Node, Key, "must be a non-empty string");
    return Node.as_string()->get();
  }
  std::string String(const std::string &Key, bool Required) const {
    const auto *Node = Find(Key);
    if (!Node) {
      if (Required)
        Missing(Key);
      return {};
    }
    return String(*Node, Key);
  }
  std::int64_t Integer(const std::string &Key, std::int64_t Min, std::int64_t Max,
                       std::int64_t Default) const {
    const auto *Node = Find(Key);
    if (!Node)
      return Default;
    if (!Node->is_integer())
      Fail(*Node, Key, "must be an integer");
    const auto Value = Node->as_integer()->get();
    if (Value < Min || Value > Max)
      Fail(*Node, Key,
           std::to_string(Value) + " is outside " + std::to_string(Min) + ".." +
               std::to_string(Max));
    return Value;
  }
  // A file read at start, relative to the configuration's folder.
  std::string File(const std::string &Key) const {
    const auto *Node = Find(Key);
    if (!Node)
      return {};
    std::filesystem::path Path = String(*Node, Key);
    if (Path.is_relative())
      Path = std::filesystem::path(InFile).parent_path() / Path;
    std::error_code Error;
    std::ifstream In(Path, std::ios::binary);
    if (!In || std::filesystem::is_directory(Path, Error))
      Fail(*Node, Key, Path.string() + " cannot be read");
    return Path.string();
  }
  std::string Secret(const std::string &Key) const {
    const auto Path = File(Key);
    if (Path.empty())
      return {};
    std::ifstream In(Path, std::ios::binary);
    std::string Line;
    std::getline(In, Line);
    if (!Line.empty() && Line.back() == '\r')
      Line.pop_back();
    if (Line.empty())
      Fail(*Find(Key), Key, Path + ": the first line (the password) is empty");
    return Line;
  }

private:
  const std::string &InFile;
  const toml::table &Source;
  std::string Prefix;
};

const toml::table &NeedTable(const std::string &File, const toml::table &Root,
                             const std::string &Name) {
  const auto *Node = Root.get(Name);
  if (!Node || !Node->as_table())
    throw EOfficeConfigError(File + ": [" + Name + "]: missing");
  return *Node->as_table();
}

void ReadBroker(const std::string &File, const toml::table &Root, TOfficeConfig &Config) {
  TTable Broker(File, NeedTable(File, Root, "broker"), "broker",
                {"address", "ca_file", "cert_file", "key_file", "username", "password_file",
                 "client_id", "group", "topic_prefix", "keepalive_s"});
  auto &Entry = Config.Broker;
  const auto Address = Broker.String("address", true);
  const auto Colon = Address.rfind(':');
  const auto Port = Colon == std::string::npos ? std::string() : Address.substr(Colon + 1);
  if (Colon == 0 || Port.empty() || Port.size() > 5 ||
      Port.find_first_not_of("0123456789") != std::string::npos || std::stoi(Port) < 1 ||
      std::stoi(Port) > 65535)
    Broker.Fail(*Broker.Find("address"), "address",
                "must be \"host:port\", e.g. \"broker:8883\"");
  Entry.Host = Address.substr(0, Colon);
  if (Entry.Host.size() > 2 && Entry.Host.front() == '[' && Entry.Host.back() == ']')
    Entry.Host = Entry.Host.substr(1, Entry.Host.size() - 2);
  Entry.Port = static_cast<std::uint16_t>(std::stoi(Port));
  Entry.CaFile = Broker.File("ca_file");
  const auto *Cert = Broker.Find("cert_file");
  const auto *Key = Broker.Find("key_file");
  if ((Cert != nullptr) != (Key != nullptr))
    Broker.Fail(Cert ? *Cert : *Key, Cert ? "key_file" : "cert_file",
                "cert_file and key_file go together");
  if (Cert && Entry.CaFile.empty())
    Broker.Fail(*Cert, "ca_file", "required with cert_file: a client certificate needs TLS");
  Entry.CertFile = Broker.File("cert_file");
  Entry.KeyFile = Broker.File("key_file");
  Entry.Username = Broker.String("username", false);
  if (const auto *Password = Broker.Find("password_file")) {
    if (Entry.Username.empty())
      Broker.Fail(*Password, "password_file", "needs username");
    Entry.Password = Broker.Secret("password_file");
  }
  Entry.ClientId = Broker.String("client_id", false);
  if (auto Group = Broker.String("group", false); !Group.empty()) {
    if (!FitsTopic(Group, false))
      Broker.Fail(*Broker.Find("group"), "group",
                  "one topic level: no /, +, #, leading $ nor control characters");
    Entry.Group = Group;
  }
  if (auto Prefix = Broker.String("topic_prefix", false); !Prefix.empty()) {
    if (!FitsTopic(Prefix, true))
      Broker.Fail(*Broker.Find("topic_prefix"), "topic_prefix",
                  "a topic without wildcards, leading $ or /, trailing / or empty level");
    Entry.TopicPrefix = Prefix;
  }
  Entry.KeepAlive = std::chrono::seconds(Broker.Integer("keepalive_s", 5, 3600, 30));
}

void ReadDatabase(const std::string &File, const toml::table &Root, TOfficeConfig &Config) {
  TTable Database(File, NeedTable(File, Root, "database"), "database",
                  {"conninfo", "password_file"});
  Config.Database.ConnInfo = Database.String("conninfo", true);
  Config.Database.Password = Database.Secret("password_file");
}

} // namespace

TOfficeConfig ParseOfficeConfig(const std::string &Text, const std::string &File) {
  toml::table Root;
  try {
    Root = toml::parse(Text, File);
  } catch (const toml::parse_error &Error) {
    throw EOfficeConfigError(File + ":" + std::to_string(Error.source().begin.line) + ": " +
                             std::string(Error.description()));
  }
  for (const auto &[Key, Node] : Root)
    if (Key.str() != "broker" && Key.str() != "database" && Key.str() != "ingest")
      throw EOfficeConfigError(File + ":" + std::to_string(Node.source().begin.line) + ": " +
                               std::string(Key.str()) + ": unknown table");
  TOfficeConfig Config;
  ReadBroker(File, Root, Config);
  ReadDatabase(File, Root, Config);
  if (const auto *Node = Root.get("ingest"); Node && Node->as_table()) {
    TTable Ingest(File, *Node->as_table(), "ingest", {"batch", "queue_limit"});
    Config.Batch = static_cast<int>(Ingest.Integer("batch", 1, 10000, Config.Batch));
    Config.QueueLimit =
        static_cast<int>(Ingest.Integer("queue_limit", 100, 10000000, Config.QueueLimit));
  }
  return Config;
}

TOfficeConfig LoadOfficeConfig(const std::filesystem::path &File) {
  std::ifstream In(File, std::ios::binary);
  if (!In)
    throw EOfficeConfigError(File.string() + ": cannot be read");
  std::ostringstream Text;
  Text << In.rdbuf();
  return ParseOfficeConfig(Text.str(), File.string());
}

} // namespace de30::office
