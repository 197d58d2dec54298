#include "store.hpp"

#include "log.hpp"
#include "sale_record.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

namespace de30::office {
namespace {

enum class TKind { Sale, Alarm, Status, Shift, Other };

struct TTopic {
  TKind Kind = TKind::Other;
  std::string Base; // PREFIX/LEVEL: the station's topic
};

TTopic ReadTopic(const std::string &Prefix, const std::string &Topic) {
  TTopic Read;
  const auto Slash = Topic.rfind('/');
  if (Topic.rfind(Prefix + "/", 0) != 0 || Slash == std::string::npos || Slash <= Prefix.size())
    return Read;
  Read.Base = Topic.substr(0, Slash);
  if (Read.Base.find('/', Prefix.size() + 1) != std::string::npos)
    return Read; // more than one level under the prefix
  const auto Last = Topic.substr(Slash + 1);
  Read.Kind = Last == "sales"    ? TKind::Sale
              : Last == "alarms" ? TKind::Alarm
              : Last == "status" ? TKind::Status
              : Last == "shifts" ? TKind::Shift
                                 : TKind::Other;
  return Read;
}

std::string InsertSale() {
  std::string Names = "station, sale_id";
  std::string Values = "$1, $2";
  int N = 2;
  for (const auto &Column : SaleColumns()) {
    Names += ", " + Column;
    Values += ", $" + std::to_string(++N);
    if (Column == "figures" || Column == "body" || Column == "flags")
      Values += "::jsonb";
  }
  return "INSERT INTO sales (" + Names + ", ingested_by) VALUES (" + Values + ", $" +
         std::to_string(N + 1) +
         ") ON CONFLICT (station, sale_id) DO NOTHING RETURNING sale_id";
}

// Null for a JSON null or a missing key; the text of a string; a number as written.
std::optional<std::string> FieldOf(const TJson &Object, const char *Key) {
  const auto Found = Object.find(Key);
  if (Found == Object.end() || Found->is_null())
    return std::nullopt;
  return Found->is_string() ? Found->get<std::string>() : Found->dump();
}

// What a shift message must hold to be stored; empty when it does.
std::string ShiftFault(const TJson &Shift) {
  if (!Shift.contains("id") || !Shift["id"].is_number_integer() ||
      Shift["id"].get<std::int64_t>() < 1)
    return "no shift id";
  for (const char *Key : {"opened", "closed", "closed_by"})
    if (!Shift.contains(Key) || !Shift[Key].is_string())
      return std::string("no \"") + Key + "\"";
  if (!Shift.contains("nozzles") || !Shift["nozzles"].is_array())
    return "no \"nozzles\"";
  if (!Shift.contains("pending") || !Shift["pending"].is_object() ||
      !Shift["pending"].contains("sales") || !Shift["pending"]["sales"].is_array())
    return "no \"pending\" sales";
  return {};
}

struct TSaleItem {
  TParsedSale Parsed;
  std::string Base;
};

} // namespace

TStore::TStore(TPg &On, std::string Prefix, std::string Name)
    : Db(On), TopicPrefix(std::move(Prefix)), Ingest(std::move(Name)) {}

void TStore::WriteSale(const TParsedSale &Parsed, TWriteResult &Result) {
  static const std::string Insert = InsertSale();
  const std::string Station = Parsed.Station;
  const std::string SaleId = std::to_string(Parsed.Id);
  if (!Parsed.Ok) {
    Db.Exec("INSERT INTO sale_problems (station, sale_id, kind, detail, received, "
            "ingested_by) VALUES ($1, $2, 'malformed', $3, $4::jsonb, $5)",
            {Station, SaleId, Parsed.Fault, Parsed.Body.dump(), Ingest});
    Log(TLevel::Error, "ingest: sale " + SaleId + " of station " + Station + " is malformed (" +
                           Parsed.Fault + "): kept in sale_problems");
    ++Result.Malformed;
    return;
  }
  TParams Params{Station, SaleId};
  Params.insert(Params.end(), Parsed.Record.Columns.begin(), Parsed.Record.Columns.end());
  Params.emplace_back(Ingest);
  if (Db.Exec(Insert, Params).Rows() == 1) {
    ++Result.Inserted;
    return;
  }
  const auto Stored =
      Db.Exec("SELECT figures::text, body::text FROM sales WHERE station = $1 AND sale_id = $2",
              {Station, SaleId});
  const auto Difference =
      FigureDifference(TJson::parse(Stored.Text(0, 0)), Parsed.Record.Figures);
  if (Difference.empty()) {
    ++Result.Duplicates;
    return;
  }
  // The stored sale stays as it is: which one is right is a person's call.
  Db.Exec("INSERT INTO sale_problems (station, sale_id, kind, detail, received, stored, "
          "ingested_by) VALUES ($1, $2, 'conflict', $3, $4::jsonb, $5::jsonb, $6)",
          {Station, SaleId, Difference, Parsed.Record.Body.dump(), Stored.Text(0, 1), Ingest});
  Log(TLevel::Error, "ingest: sale " + SaleId + " of station " + Station +
                         " came again with other figures (" + Difference +
                         "): the stored one is kept, the other is in sale_problems");
  ++Result.Conflicts;
}

bool TStore::WriteShift(const TJson &Shift) {
  const std::string Station = Shift["station"].get<std::string>();
  const std::string Id = std::to_string(Shift["id"].get<std::int64_t>());
  const auto &Pending = Shift["pending"]["sales"];
  if (Db.Exec("INSERT INTO shifts (station, shift_id, opened, closed, closed_by, pending, "
              "body, ingested_by) VALUES ($1, $2, $3, $4, $5, $6, $7::jsonb, $8) "
              "ON CONFLICT (station, shift_id) DO NOTHING RETURNING shift_id",
              {Station, Id, FieldOf(Shift, "opened"), FieldOf(Shift, "closed"),
               FieldOf(Shift, "closed_by"), std::to_string(Pending.size()), Shift.dump(),
               Ingest})
          .Rows() != 1)
    return false;
  for (const auto &Row : Shift["nozzles"]) {
    const auto Totals = [&](const char *Key, const char *Figure) -> std::optional<std::string> {
      const auto Found = Row.find(Key);
      if (Found == Row.end() || !Found->is_object())
        return std::nullopt;
      return FieldOf(*Found, Figure);
    };
    const TJson Sales = Row.value("sales", TJson::object());
    Db.Exec("INSERT INTO shift_nozzles (station, shift_id, pump, nozzle, grade, open_volume, "
            "open_amount, open_missing, close_volume, close_amount, close_missing, sales, "
            "volume, amount, difference_volume, difference_amount) VALUES ($1, $2, $3, $4, "
            "$5, $6, $7, $8, $9, $10, $11, COALESCE($12, '0')::integer, COALESCE($13, "
            "'0')::numeric, COALESCE($14, '0')::numeric, $15, $16)",
            {Station, Id, FieldOf(Row, "pump"), FieldOf(Row, "nozzle"), FieldOf(Row, "grade"),
             Totals("open_totals", "volume"), Totals("open_totals", "amount"),
             FieldOf(Row, "open_missing"), Totals("close_totals", "volume"),
             Totals("close_totals", "amount"), FieldOf(Row, "close_missing"),
             FieldOf(Sales, "count"), FieldOf(Sales, "volume"), FieldOf(Sales, "amount"),
             Totals("difference", "volume"), Totals("difference", "amount")});
  }
  for (const auto &Sale : Pending)
    Db.Exec("INSERT INTO shift_pending (station, shift_id, sale_id, pump, state, locked_by, "
            "volume, amount, started, ended) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10)",
            {Station, Id, FieldOf(Sale, "id"), FieldOf(Sale, "pump"), FieldOf(Sale, "state"),
             FieldOf(Sale, "locked_by"), FieldOf(Sale, "volume"), FieldOf(Sale, "amount"),
             FieldOf(Sale, "started"), FieldOf(Sale, "ended")});
  return true;
}

TWriteResult TStore::Write(const std::vector<TIncoming> &Batch) {
  try {
    return WriteOnce(Batch, false);
  } catch (const EDatabase &Error) {
    if (!Db.Usable())
      throw;
    // A value the database would not take (a date that is none, a number out of
    // range) fails the whole batch: the batch again, each message on its own, so
    // that one bad message is kept aside instead of holding up every other.
    Log(TLevel::Warn, std::string("ingest: a batch failed (") + Error.what() +
                          "); writing its messages one by one");
    return WriteOnce(Batch, true);
  }
}

TWriteResult TStore::WriteOnce(const std::vector<TIncoming> &Batch, bool Careful) {
  TWriteResult Result;
  std::vector<TSaleItem> Sales;
  std::vector<std::pair<std::string, TJson>> Alarms; // station topic, message
  std::vector<std::pair<std::string, TJson>> Statuses;
  std::vector<std::pair<std::string, TJson>> Shifts;
  std::map<std::string, std::string> Stations; // id to topic
  // Stations that sent something of their own (a retained status may be old).
  std::set<std::string> Heard;
  for (const auto &Message : Batch) {
    const auto Topic = ReadTopic(TopicPrefix, Message.Topic);
    if (Topic.Kind == TKind::Sale) {
      auto Parsed = ParseSale(Message.Payload);
      if (!Parsed.Ok && Parsed.Station.empty()) {
        Log(TLevel::Error, "ingest: a message on " + Message.Topic +
                               " is not a sale and names none: " + Parsed.Fault);
        ++Result.Ignored;
        continue;
      }
      if (Parsed.Ok)
        Stations.emplace(Parsed.Station, Topic.Base);
      if (!Parsed.Station.empty())
        Heard.insert(Parsed.Station);
      Sales.push_back({std::move(Parsed), Topic.Base});
    } else if (Topic.Kind == TKind::Alarm || Topic.Kind == TKind::Status ||
               Topic.Kind == TKind::Shift) {
      auto Json = TJson::parse(Message.Payload, nullptr, false);
      if (!Json.is_object() || !Json.contains("station") || !Json["station"].is_string() ||
          Json["station"].get<std::string>().empty()) {
        Log(TLevel::Error, "ingest: a message on " + Message.Topic + " names no station");
        ++Result.Ignored;
        continue;
      }
      const std::string Station = Json["station"].get<std::string>();
      if (Topic.Kind == TKind::Shift) {
        if (const auto Fault = ShiftFault(Json); !Fault.empty()) {
          // Not acknowledged: a de30d that sends such a thing needs mending,
          // and sends it again once it is.
          Log(TLevel::Error, "ingest: a shift of station " + Station + " is malformed (" +
                                 Fault + "): not kept");
          ++Result.Ignored;
          continue;
        }
      }
      Stations.emplace(Station, Topic.Base);
      if (Topic.Kind != TKind::Status)
        Heard.insert(Station);
      (Topic.Kind == TKind::Alarm   ? Alarms
       : Topic.Kind == TKind::Shift ? Shifts
                                    : Statuses)
          .emplace_back(Topic.Base, std::move(Json));
    } else {
      ++Result.Ignored;
    }
  }
  // The same order in every process: two ingest processes that write the same
  // station's sales wait for each other, never deadlock.
  std::sort(Sales.begin(), Sales.end(), [](const TSaleItem &A, const TSaleItem &B) {
    return std::tie(A.Parsed.Station, A.Parsed.Id) < std::tie(B.Parsed.Station, B.Parsed.Id);
  });

  std::sort(Shifts.begin(), Shifts.end(), [](const auto &A, const auto &B) {
    return std::make_pair(A.second["station"].template get<std::string>(),
                          A.second["id"].template get<std::int64_t>()) <
           std::make_pair(B.second["station"].template get<std::string>(),
                          B.second["id"].template get<std::int64_t>());
  });
  std::map<std::string, TAck> Acks; // by topic
  // One message's write. When Careful, on a savepoint of its own: one the
  // database refuses is undone alone, handed to Refused, and the rest of the
  // batch stands. False when it was refused.
  const auto Apart = [&](const auto &Write, const auto &Refused) {
    if (Careful)
      Db.Exec("SAVEPOINT one");
    try {
      Write();
      if (Careful)
        Db.Exec("RELEASE SAVEPOINT one");
      return true;
    } catch (const EDatabase &Error) {
      if (!Careful || !Db.Usable())
        throw;
      Db.Exec("ROLLBACK TO SAVEPOINT one");
      Refused(Error);
      return false;
    }
  };
  InTransaction(Db, [&] {
    for (const auto &[Id, Topic] : Stations)
      Db.Exec("INSERT INTO stations (id, topic) VALUES ($1, $2) ON CONFLICT (id) DO NOTHING",
              {Id, Topic});
    for (const auto &Item : Sales) {
      const auto &Parsed = Item.Parsed;
      const std::string Station = Parsed.Station;
      const std::string SaleId = std::to_string(Parsed.Id);
      Apart([&] { WriteSale(Parsed, Result); },
            [&](const EDatabase &Error) {
              Db.Exec("INSERT INTO sale_problems (station, sale_id, kind, detail, received, "
                      "ingested_by) VALUES ($1, $2, 'malformed', $3, $4::jsonb, $5)",
                      {Station, SaleId, std::string("the database refused it: ") + Error.what(),
                       Parsed.Body.dump(), Ingest});
              Log(TLevel::Error, "ingest: sale " + SaleId + " of station " + Station +
                                     " was refused by the database (" + Error.what() +
                                     "): kept in sale_problems");
              ++Result.Malformed;
            });
      auto &Ack = Acks[Item.Base + "/acks"];
      Ack.Topic = Item.Base + "/acks";
      Ack.Station = Station;
      Ack.Sales.push_back(Parsed.Id);
    }
    for (const auto &[Base, Alarm] : Alarms) {
      const auto Field = [&](const char *Key) -> std::optional<std::string> {
        const auto Found = Alarm.find(Key);
        if (Found == Alarm.end() || Found->is_null())
          return std::nullopt;
        return Found->is_string() ? Found->get<std::string>() : Found->dump();
      };
      if (!Field("id") || !Field("pump") || !Field("at") || !Field("kind")) {
        Log(TLevel::Error, "ingest: an alarm of station " +
                               Alarm["station"].get<std::string>() +
                               " lacks id, pump, at or kind: not kept");
        ++Result.Ignored;
        continue;
      }
      Apart(
          [&] {
            Result.Alarms +=
                Db.Exec("INSERT INTO alarms (station, alarm_id, pump, nozzle, volume, amount, "
                        "at, "
                        "kind, body) VALUES ($1, $2, $3, COALESCE($4, '0')::integer, "
                        "COALESCE($5, '0')::numeric, COALESCE($6, '0')::numeric, $7, $8, "
                        "$9::jsonb) "
                        "ON CONFLICT (station, alarm_id) DO NOTHING RETURNING alarm_id",
                        {Alarm["station"].get<std::string>(), Field("id"), Field("pump"),
                         Field("nozzle"), Field("volume"), Field("amount"), Field("at"),
                         Field("kind"), Alarm.dump()})
                    .Rows();
          },
          [&](const EDatabase &Error) {
            Log(TLevel::Error,
                "ingest: an alarm of station " + Alarm["station"].get<std::string>() +
                    " was refused by the database (" + Error.what() + "): not kept");
            ++Result.Ignored;
          });
    }
    for (const auto &[Base, Shift] : Shifts) {
      const std::string Station = Shift["station"].get<std::string>();
      const std::int64_t Id = Shift["id"].get<std::int64_t>();
      const bool Kept =
          Apart([&] { Result.Shifts += WriteShift(Shift) ? 1 : 0; },
                [&](const EDatabase &Error) {
                  Log(TLevel::Error, "ingest: shift " + std::to_string(Id) + " of station " +
                                         Station + " was refused by the database (" +
                                         Error.what() + "): not kept");
                  ++Result.Ignored;
                });
      if (!Kept)
        continue;
      auto &Ack = Acks[Base + "/acks"];
      Ack.Topic = Base + "/acks";
      Ack.Station = Station;
      Ack.Shifts.push_back(Id);
    }
    for (const auto &Station : Heard)
      Db.Exec("UPDATE stations SET last_message = clock_timestamp() WHERE id = $1", {Station});
    for (const auto &[Base, Status] : Statuses)
      if (Status.contains("online") && Status["online"].is_boolean())
        Db.Exec("UPDATE stations SET online = $2, status_at = clock_timestamp() WHERE id = $1",
                {Status["station"].get<std::string>(),
                 std::string(Status["online"].get<bool>() ? "true" : "false")});
  });
  for (auto &[Topic, Ack] : Acks)
    Result.Acks.push_back(std::move(Ack));
  return Result;
}

} // namespace de30::office
