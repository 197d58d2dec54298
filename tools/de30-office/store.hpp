#pragma once
// Writes what the stations sent into the office database, a batch in one
// transaction: each sale once by (station, sale id), whatever repeats arrive; a
// repeat whose figures differ from the stored sale kept aside in sale_problems,
// never over it; alarms once by (station, alarm id); closed shifts once by
// (station, shift id), each with its nozzles and the sales it left pending;
// each station's online state, and when it was last heard from.
// Once Write returns, the batch is committed and the sales it names may be
// acknowledged to their stations; when it throws, nothing of it is.

#include "pg.hpp"
#include "sale_record.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace de30::office {

struct TIncoming {
  std::string Topic; // PREFIX/LEVEL/sales, /alarms or /status
  std::string Payload;
};

// What to tell a station: the sales of it the batch committed.
struct TAck {
  std::string Topic; // PREFIX/LEVEL/acks
  std::string Station;
  std::vector<std::int64_t> Sales;
  std::vector<std::int64_t> Shifts;
};

struct TWriteResult {
  std::vector<TAck> Acks;
  int Inserted = 0;   // sales new to the database
  int Duplicates = 0; // sales it had already, with the same figures
  int Conflicts = 0;  // repeats with other figures, kept aside
  int Malformed = 0;  // sale messages that are no sale, kept aside
  int Alarms = 0;     // alarms new to the database
  int Shifts = 0;     // closed shifts new to the database
  int Ignored = 0;    // messages that name no station and id: logged, not kept
};

class TStore {
public:
  // Prefix: the stations' topic prefix; Name: this ingest process, kept with
  // every row it writes.
  TStore(TPg &Db, std::string Prefix, std::string Name);
  TWriteResult Write(const std::vector<TIncoming> &Batch);

private:
  TWriteResult WriteOnce(const std::vector<TIncoming> &Batch, bool Careful);
  void WriteSale(const TParsedSale &Parsed, TWriteResult &Result);
  // False for a repeat the database has already.
  bool WriteShift(const nlohmann::json &Shift);

  TPg &Db;
  std::string TopicPrefix;
  std::string Ingest;
};

} // namespace de30::office
