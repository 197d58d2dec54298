#pragma once
// de30-office's configuration (docs/office.md): the broker it takes the
// stations' sales from, the shared subscription it joins, and the PostgreSQL
// database it writes them into. A bad file is refused with the file, the line
// and the key named (EOfficeConfigError).

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace de30::office {

struct TBrokerConfig {
  std::string Host;
  std::uint16_t Port = 0;
  // TLS when CaFile is set (the broker's certificate verified against it, and
  // its name against Host); CertFile and KeyFile, both or neither, the office's
  // own certificate.
  std::string CaFile;
  std::string CertFile;
  std::string KeyFile;
  std::string Username;
  std::string Password; // read from password_file at load
  // Each ingest process needs its own; the processes of one Group share the
  // stations' sales between them.
  std::string ClientId;
  std::string Group = "de30-office";
  // The stations' topics are TopicPrefix + "/" + one level: sales at
  // TopicPrefix/+/sales, acknowledgements back to TopicPrefix/LEVEL/acks.
  std::string TopicPrefix = "de30";
  std::chrono::seconds KeepAlive{30};
};

struct TDatabaseConfig {
  std::string ConnInfo; // a libpq connection string or URI
  std::string Password; // read from password_file at load; empty: libpq's own ways
};

struct TOfficeConfig {
  TBrokerConfig Broker;
  TDatabaseConfig Database;
  int Batch = 200;         // sales committed in one transaction at most
  int QueueLimit = 100000; // messages held while the database is away
};

class EOfficeConfigError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

TOfficeConfig LoadOfficeConfig(const std::filesystem::path &File);
// The same for text in memory; File names it in errors and relative paths are
// taken from its folder.
TOfficeConfig ParseOfficeConfig(const std::string &Text, const std::string &File);

} // namespace de30::office
