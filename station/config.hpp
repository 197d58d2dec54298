#pragma once
// The station's configuration: lines, pumps, grades and the service's own
// settings, read from a TOML file and checked before anything starts. A bad file
// is refused with the file, the line and the key named (EConfigError).

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace de30::station {

struct TGrade {
  int Number = 0; // 1..99, the station's own numbering
  std::string Name;
};

struct TLineConfig {
  int Number = 0;      // 1..32, the driver's line
  std::string Serial;  // device path, or empty
  std::string TcpHost; // serial device server, or empty
  std::uint16_t TcpPort = 0;
  std::chrono::milliseconds Timeout{1500}; // reply timeout
  // Listened to, never driven: another controller drives the line, and the
  // station follows its pumps from what it hears (opened read-only, nothing sent).
  bool Tap = false;
  // On a tap line, the silence that separates one burst of bytes from the next
  // (capture/tap_splitter.hpp); zero: five byte times, at least 10 ms.
  std::chrono::milliseconds TapGap{0};
  // A pcapng file of every exchange of the line (docs/capture.md); empty for none.
  // Lines that name the same file share it. Before the file grows past
  // CaptureMaxBytes it is rotated, keeping CaptureFiles files with the current one.
  std::string Capture;
  std::uint64_t CaptureMaxBytes = 16ull << 20;
  unsigned CaptureFiles = 4;
};

// What the last group of a two-nozzle pump's totals reply holds: the whole
// pump's counter, or the last nozzle's own. Pumps differ, and the protocol does
// not say; docs/station.md tells how to find out on site.
enum class TTotalsLayout { Unknown, Sum, PerNozzle };
const char *TotalsLayoutName(TTotalsLayout Layout); // "unknown", "sum", "per_nozzle"

struct TPumpConfig {
  int Line = 0;    // a configured line
  int Address = 0; // 1..31 on that line
  std::vector<int>
      Nozzles; // the station grade each nozzle sells, nozzle 1 first (1..4 nozzles)
  bool AutoAuthorize = false;
  TTotalsLayout Totals = TTotalsLayout::Unknown;
  // This pump's authorisation timeout ([station] authorize_timeout_s when unset).
  std::optional<std::chrono::seconds> AuthorizeTimeout;

  int NozzleCount() const { return static_cast<int>(Nozzles.size()); }
  // "LINE:ADDRESS", the pump's name in the interface.
  std::string Id() const;
  // Whether the totals the driver reads count a fill on Nozzle (1-based; 0 for
  // not known): always with one nozzle, by the layout with two, never with more
  // (their totals cannot be read).
  bool TotalsCover(int Nozzle) const;
};

// The head-office uplink: completed sales and pump states published to an MQTT
// broker (docs/uplink.md).
struct TUplinkConfig {
  std::string Host;
  std::uint16_t Port = 0;
  // Sales go to Topic + "/sales", pump states to Topic + "/pumps/LINE:PUMP", the
  // station's own state to Topic + "/status".
  std::string Topic;
  std::string ClientId; // the MQTT client id; "de30d-" + the station id unless set
  std::chrono::seconds KeepAlive{30}; // MQTT keep-alive: how soon a dead link is noticed
  // TLS, on when CaFile is set: the broker's certificate must be signed by that
  // CA and name the broker's host. CertFile and KeyFile, both or neither, are
  // the station's own certificate for brokers that ask for one. Paths are read
  // (and a relative one taken from the configuration file's folder) at load.
  std::string CaFile;
  std::string CertFile;
  std::string KeyFile;
  // Broker credentials: the password is read from a file (never from the
  // command line nor the configuration itself) when the configuration is loaded.
  std::string Username;
  std::string PasswordFile;
  std::string Password;
  // Who says a sale is delivered: the head office's acknowledgement on
  // Topic + "/acks", sent once the sale is committed in its database (the
  // default), or the broker's PUBACK, for an office without one.
  enum class TAcknowledgedBy { Office, Broker } AcknowledgedBy = TAcknowledgedBy::Office;
  // A sale the office has not acknowledged within this is sent again (the
  // pause doubles for each further attempt, up to ten times this).
  std::chrono::seconds AckTimeout{30};
};

// The [station] id and [uplink] of a file that holds only those two tables:
// the simulated station's uplink (de30d --uplink FILE).
struct TUplinkFile {
  std::string StationId;
  TUplinkConfig Uplink;
  std::vector<std::string> Warnings; // as TStationConfig's
};
TUplinkFile LoadUplinkFile(const std::filesystem::path &File);

// What a client may do: a POS runs the forecourt, a viewer only reads, an admin
// may also take another client's lock.
enum class TClientRole { Pos, Viewer, Admin };
const char *ClientRoleName(TClientRole Role); // "pos", "viewer", "admin"
std::optional<TClientRole> ParseClientRole(const std::string &Name);

// A client known by its bearer token ([[client]]).
struct TClientConfig {
  std::string Name;
  std::string Token;
  TClientRole Role = TClientRole::Pos;
};
// The name of the one admin client that [station] token (or --token) stands for.
inline constexpr char StationTokenClient[] = "admin";

struct TStationConfig {
  // Names the station to the head office: required in the file when [uplink] is
  // set, since the office tells the sales of its stations apart by it.
  std::string StationId = "de30";
  std::string ListenHost = "127.0.0.1";
  std::uint16_t ListenPort = 8030;
  std::filesystem::path Journal = "de30-journal.db";
  // Bearer token for commands; required whenever ListenHost is not a loopback
  // address (CheckConfig refuses the file otherwise).
  std::string Token;
  // Clients with tokens of their own; with any, a lock or clear is made in the
  // name the token gives, never in one the request claims.
  std::vector<TClientConfig> Clients;
  // Reads need a token too (any client's, or the station's).
  bool ReadToken = false;
  // A lock no client cleared or took back within this goes back to payable.
  std::chrono::seconds LockTimeout{900};
  // Names besides the listening address by which clients reach the service (its
  // Host header): a request naming any other host is refused, against DNS rebinding.
  std::vector<std::string> HostNames;
  // Replies a pump may miss in a row before it counts as offline.
  int OfflineAfter = 3;
  // Longest pause between polls of an offline pump.
  std::chrono::milliseconds OfflineBackoffMax{4000};
  // The same for a pump that has not answered since the start (configured, but
  // not there): it costs its line one probe each time, and is found when it is
  // installed or switched on within this.
  std::chrono::milliseconds AbsentBackoffMax{30000};
  // Reply timeout of the polls that look for an offline pump. A pump that answers
  // does so within a few milliseconds of the request; waiting the line's whole
  // timeout for one that is absent would cost every other pump on the line.
  std::chrono::milliseconds OfflineProbeTimeout{150};
  // How long a start whose reply was lost may show nothing (no fuel, a fill that
  // stays the previous sale's) before it is withdrawn with a stop and the sale
  // judged; and how long a fill must stand still while the driver reads the
  // lifted nozzle as calling before that sale is settled the same way.
  std::chrono::milliseconds UnknownStartTimeout{6000};
  std::chrono::milliseconds CallingSettle{10000};
  // How long an authorised pump waits for its nozzle: a pump whose nozzle is not
  // lifted within this is stopped and its sale closed (flag authorize_timeout).
  std::chrono::seconds AuthorizeTimeout{120};
  // How long a journal step waits for another writer before it fails (and is
  // tried again next cycle, or the command refused): short, so that a journal
  // held by another program never stalls the lines.
  std::chrono::milliseconds JournalBusyTimeout{250};
  // The most the journal's database file may grow to, in bytes; 0 for no limit
  // but the disk's. Reaching it is handled as a full disk.
  std::int64_t JournalMaxBytes = 0;
  std::vector<TGrade> Grades;
  std::vector<TLineConfig> Lines;
  std::vector<TPumpConfig> Pumps;
  std::optional<TUplinkConfig> Uplink; // none: no uplink
  // What the file may have meant otherwise but is accepted ("FILE:LINE: KEY:
  // what"): a serial device that does not exist yet, since USB adapters come and
  // go. de30d logs them at start; --check-config prints them.
  std::vector<std::string> Warnings;

  const TGrade *FindGrade(int Number) const;
  const TPumpConfig *FindPump(int Line, int Address) const;
};

// A file that cannot be used: what is wrong, where.
class EConfigError : public std::runtime_error {
public:
  EConfigError(std::string File, int Line, std::string Key, const std::string &Message);
  const std::string &File() const { return Where; }
  int Line() const { return At; } // 0 when the fault has no line (a missing key)
  const std::string &Key() const { return Name; } // e.g. "pump[2].nozzles"

private:
  std::string Where;
  int At;
  std::string Name;
};

// Reads and checks a file; EConfigError on the first fault.
TStationConfig LoadConfig(const std::filesystem::path &File);
// The same for text already in memory; File names it in errors.
TStationConfig ParseConfig(const std::string &Text, const std::string &File);

} // namespace de30::station
