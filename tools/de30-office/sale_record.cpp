#include "sale_record.hpp"

#include <optional>

namespace de30::office {
namespace {

class EMalformed : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

const char *const FigureKeys[] = {"pump",   "nozzle",  "grade",        "price",      "preset",
                                  "volume", "amount",  "start_totals", "end_totals", "started",
                                  "ended",  "prepaid", "refund"};

const TJson &Field(const TJson &Message, const char *Key) {
  static const TJson Null;
  const auto Found = Message.find(Key);
  return Found == Message.end() ? Null : *Found;
}

std::optional<std::string> Number(const TJson &Value, const std::string &Name, bool Required) {
  if (Value.is_null() && !Required)
    return std::nullopt;
  if (!Value.is_number())
    throw EMalformed(Name + " must be a number");
  return Value.dump();
}

std::optional<std::string> Integer(const TJson &Value, const std::string &Name) {
  if (!Value.is_number_integer())
    throw EMalformed(Name + " must be an integer");
  return Value.dump();
}

std::optional<std::string> Text(const TJson &Value, const std::string &Name, bool Required) {
  if (Value.is_null() && !Required)
    return std::nullopt;
  if (!Value.is_string() || Value.get<std::string>().empty())
    throw EMalformed(Name + " must be a non-empty string");
  return Value.get<std::string>();
}

// {"volume": V, "amount": A} or null: two columns.
void Totals(const TJson &Value, const std::string &Name, TParams &Columns) {
  if (Value.is_null()) {
    Columns.emplace_back();
    Columns.emplace_back();
    return;
  }
  if (!Value.is_object())
    throw EMalformed(Name + " must be an object or null");
  Columns.push_back(Number(Field(Value, "volume"), Name + ".volume", true));
  Columns.push_back(Number(Field(Value, "amount"), Name + ".amount", true));
}

} // namespace

const std::vector<std::string> &SaleColumns() {
  static const std::vector<std::string> Names = {
      "pump",   "nozzle",    "grade",        "price",        "preset_kind", "preset_value",
      "volume", "amount",    "start_volume", "start_amount", "end_volume",  "end_amount",
      "state",  "locked_by", "started",      "ended",        "flags",       "prepaid",
      "refund", "figures",   "body"};
  return Names;
}

TParsedSale ParseSale(const std::string &Payload) {
  TParsedSale Parsed;
  Parsed.Body = TJson::parse(Payload, nullptr, false);
  if (Parsed.Body.is_discarded() || !Parsed.Body.is_object()) {
    Parsed.Body = TJson(Payload);
    Parsed.Fault = "not a JSON object";
    return Parsed;
  }
  const TJson &Message = Parsed.Body;
  const auto &Station = Field(Message, "station");
  const auto &Id = Field(Message, "id");
  if (!Station.is_string() || Station.get<std::string>().empty() || !Id.is_number_integer() ||
      Id.get<std::int64_t>() <= 0) {
    Parsed.Fault = "no \"station\" (a non-empty string) and \"id\" (a positive integer)";
    return Parsed;
  }
  Parsed.Station = Station.get<std::string>();
  Parsed.Id = Id.get<std::int64_t>();
  try {
    TSaleRecord Record;
    Record.Station = Parsed.Station;
    Record.Id = Parsed.Id;
    auto &Columns = Record.Columns;
    Columns.push_back(Text(Field(Message, "pump"), "pump", true));
    Columns.push_back(Integer(Field(Message, "nozzle"), "nozzle"));
    Columns.push_back(Integer(Field(Message, "grade"), "grade"));
    Columns.push_back(Number(Field(Message, "price"), "price", true));
    const auto &Preset = Field(Message, "preset");
    if (Preset.is_null()) {
      Columns.emplace_back();
      Columns.emplace_back();
    } else if (Preset.is_object() && Preset.size() == 1 &&
               (Preset.contains("litres") || Preset.contains("money"))) {
      Columns.emplace_back(Preset.begin().key());
      Columns.push_back(Number(Preset.begin().value(), "preset", true));
    } else {
      throw EMalformed("preset must be null, {\"litres\": N} or {\"money\": N}");
    }
    Columns.push_back(Number(Field(Message, "volume"), "volume", true));
    Columns.push_back(Number(Field(Message, "amount"), "amount", true));
    Totals(Field(Message, "start_totals"), "start_totals", Columns);
    Totals(Field(Message, "end_totals"), "end_totals", Columns);
    Columns.push_back(Text(Field(Message, "state"), "state", true));
    Columns.push_back(Text(Field(Message, "locked_by"), "locked_by", false));
    Columns.push_back(Text(Field(Message, "started"), "started", true));
    Columns.push_back(Text(Field(Message, "ended"), "ended", false));
    const auto &Flags = Field(Message, "flags");
    if (!Flags.is_null() && !Flags.is_array())
      throw EMalformed("flags must be a list");
    Columns.emplace_back(Flags.is_null() ? "[]" : Flags.dump());
    Columns.push_back(Number(Field(Message, "prepaid"), "prepaid", false));
    Columns.push_back(Number(Field(Message, "refund"), "refund", false));
    Record.Figures = TJson::object();
    for (const char *Key : FigureKeys)
      if (Message.contains(Key))
        Record.Figures[Key] = Message[Key];
    Columns.emplace_back(Record.Figures.dump());
    Columns.emplace_back(Message.dump());
    Record.Body = Message;
    Parsed.Record = std::move(Record);
    Parsed.Ok = true;
  } catch (const EMalformed &Fault) {
    Parsed.Fault = Fault.what();
  }
  return Parsed;
}

std::string FigureDifference(const TJson &Stored, const TJson &Received) {
  std::string Differences;
  for (const auto &[Key, Value] : Received.items()) {
    const auto Found = Stored.find(Key);
    if (Found == Stored.end() || *Found == Value)
      continue;
    // Numbers compare by value: 45.5 kept by the database may come back 45.50.
    if (Found->is_number() && Value.is_number() && Found->get<double>() == Value.get<double>())
      continue;
    if (!Differences.empty())
      Differences += "; ";
    Differences += Key + ": " + Found->dump() + " stored, " + Value.dump() + " received";
  }
  return Differences;
}

} // namespace de30::office
