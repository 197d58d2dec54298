#include "requests.hpp"

#include "api_error.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <set>
#include <vector>

namespace de30::service {
namespace {

using TJson = nlohmann::json;

[[noreturn]] void Refuse(const char *Code, const std::string &Message) {
  throw EApiError(400, Code, Message);
}

// The body as a JSON object; an empty body counts as {} where Optional says so.
TJson ParseObject(const std::string &Body, bool EmptyIsObject) {
  const bool Blank = std::all_of(Body.begin(), Body.end(), [](char C) {
    return C == ' ' || C == '\n' || C == '\r' || C == '\t';
  });
  if (Blank) {
    if (EmptyIsObject)
      return TJson::object();
    Refuse(codes::MalformedJson, "the request needs a JSON object body");
  }
  // The keys of each object being parsed, innermost last: a key given twice would
  // otherwise leave one of its values silently unread.
  std::vector<std::set<std::string>> Open;
  std::string Duplicate;
  const TJson::parser_callback_t Watch = [&](int, TJson::parse_event_t Event, TJson &Parsed) {
    if (Event == TJson::parse_event_t::object_start)
      Open.emplace_back();
    else if (Event == TJson::parse_event_t::object_end && !Open.empty())
      Open.pop_back();
    else if (Event == TJson::parse_event_t::key && !Open.empty() &&
             !Open.back().insert(Parsed.get<std::string>()).second && Duplicate.empty())
      Duplicate = Parsed.get<std::string>();
    return true;
  };
  TJson Value = TJson::parse(Body, Watch, false);
  if (Value.is_discarded())
    Refuse(codes::MalformedJson, "the body is not valid JSON");
  if (!Duplicate.empty())
    Refuse(codes::DuplicateKey, "the key \"" + Duplicate + "\" is given twice");
  if (!Value.is_object())
    Refuse(codes::MalformedJson, "the body must be a JSON object");
  return Value;
}

void OnlyFields(const TJson &Object, std::initializer_list<const char *> Allowed) {
  for (const auto &Item : Object.items())
    if (std::none_of(Allowed.begin(), Allowed.end(),
                     [&](const char *Name) { return Item.key() == Name; }))
      Refuse(codes::UnknownField, "unknown field \"" + Item.key() + "\"");
}

double Number(const TJson &Value, const std::string &Name, double Low, double High) {
  if (!Value.is_number())
    Refuse(codes::WrongType, "\"" + Name + "\" must be a number");
  const double X = Value.get<double>();
  if (!std::isfinite(X) || X < Low || X > High)
    Refuse(codes::BadValue,
           "\"" + Name + "\" must lie within " + TJson(Low).dump() + ".." + TJson(High).dump());
  return X;
}

int Whole(const TJson &Value, const std::string &Name, int Low, int High) {
  if (!Value.is_number_integer())
    Refuse(codes::WrongType, "\"" + Name + "\" must be a whole number");
  // Compare as 64 bits: a huge number must not wrap into range.
  const std::int64_t X = Value.is_number_unsigned()
                             ? static_cast<std::int64_t>(std::min<std::uint64_t>(
                                   Value.get<std::uint64_t>(), INT64_MAX))
                             : Value.get<std::int64_t>();
  if (X < Low || X > High)
    Refuse(codes::BadValue, "\"" + Name + "\" must lie within " + std::to_string(Low) + ".." +
                                std::to_string(High));
  return static_cast<int>(X);
}

// A client's name: what the journal records with a lock or clear.
std::string ClientName(const TJson &Client) {
  if (!Client.is_string())
    Refuse(codes::WrongType, "\"client\" must be a string");
  const auto Name = Client.get<std::string>();
  const bool Printable = std::all_of(Name.begin(), Name.end(), [](char C) {
    return static_cast<unsigned char>(C) >= 0x20 && C != 0x7F;
  });
  if (Name.empty() || Name.size() > MaxClientName || !Printable)
    Refuse(codes::BadValue,
           "\"client\" must be 1.." + std::to_string(MaxClientName) + " printable characters");
  return Name;
}

// A decimal number of 1..Digits digits, no sign, no spaces.
std::optional<std::int64_t> Decimal(std::string_view Text, std::size_t Digits) {
  if (Text.empty() || Text.size() > Digits ||
      !std::all_of(Text.begin(), Text.end(), [](char C) { return C >= '0' && C <= '9'; }))
    return std::nullopt;
  std::int64_t Value = 0;
  std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  return Value;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t Y, unsigned M, unsigned D) {
  Y -= M <= 2;
  const std::int64_t Era = (Y >= 0 ? Y : Y - 399) / 400;
  const auto Yoe = static_cast<unsigned>(Y - Era * 400);
  const unsigned Doy = (153 * (M + (M > 2 ? -3 : 9)) + 2) / 5 + D - 1;
  const unsigned Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
  return Era * 146097 + static_cast<std::int64_t>(Doe) - 719468;
}

} // namespace

TPumpAddress ParsePumpId(const std::string &Text) {
  const auto Colon = Text.find(':');
  const auto Line = Decimal(std::string_view(Text).substr(0, Colon), 4);
  const auto Pump = Colon == std::string::npos
                        ? std::nullopt
                        : Decimal(std::string_view(Text).substr(Colon + 1), 4);
  if (!Line || !Pump || *Line == 0 || *Pump == 0)
    Refuse(codes::BadPumpId, "\"" + Text + "\" is not a pump: write LINE:PUMP, e.g. 1:3");
  return {static_cast<int>(*Line), static_cast<int>(*Pump)};
}

std::int64_t ParseSaleId(const std::string &Text) {
  const auto Id = Decimal(Text, 18);
  if (!Id || *Id == 0)
    Refuse(codes::BadSaleId, "\"" + Text + "\" is not a sale id");
  return *Id;
}

std::int64_t ParseShiftId(const std::string &Text) {
  const auto Id = Decimal(Text, 18);
  if (!Id || *Id == 0)
    Refuse(codes::BadShiftId, "\"" + Text + "\" is not a shift id");
  return *Id;
}

TAuthorizeRequest ParseAuthorize(const std::string &Body) {
  const TJson Object = ParseObject(Body, true);
  OnlyFields(Object, {"litres", "money", "grade", "client"});
  TAuthorizeRequest Request;
  const bool Litres = Object.contains("litres");
  const bool Money = Object.contains("money");
  if (Litres && Money)
    Refuse(codes::ConflictingPreset, "preset either \"litres\" or \"money\", not both");
  // A zero dose is no dose: refuse it rather than authorise without a limit.
  if (Litres) {
    Request.Preset.Kind = station::TPreset::TKind::Litres;
    Request.Preset.Value = Number(Object["litres"], "litres", 0.0, MaxLitres);
  } else if (Money) {
    Request.Preset.Kind = station::TPreset::TKind::Money;
    Request.Preset.Value = Number(Object["money"], "money", 0.0, MaxMoney);
  }
  if ((Litres || Money) && Request.Preset.Value < 0.01)
    Refuse(codes::BadValue,
           std::string("\"") + (Litres ? "litres" : "money") + "\" must be at least 0.01");
  // The pump takes hundredths: 10.005 would be rounded to a dose nobody asked for.
  const double Hundredths = Request.Preset.Value * 100.0;
  if ((Litres || Money) && std::fabs(Hundredths - std::round(Hundredths)) >= 1e-6)
    Refuse(codes::BadValue,
           std::string("\"") + (Litres ? "litres" : "money") + "\" takes at most two decimals");
  if (Object.contains("grade"))
    Request.Grade = Whole(Object["grade"], "grade", 1, MaxGrade);
  if (Object.contains("client"))
    Request.Client = ClientName(Object["client"]);
  return Request;
}

void ParseNoArguments(const std::string &Body) { OnlyFields(ParseObject(Body, true), {}); }

int ParseUnblock(const std::string &Body) {
  const TJson Object = ParseObject(Body, false);
  OnlyFields(Object, {"code"});
  if (!Object.contains("code"))
    Refuse(codes::MissingField, "\"code\" is missing: the unblock code, 0..255");
  return Whole(Object["code"], "code", 0, 255);
}

std::string ParseClient(const std::string &Body) {
  const TJson Object = ParseObject(Body, false);
  OnlyFields(Object, {"client"});
  if (!Object.contains("client"))
    Refuse(codes::MissingField, "\"client\" is missing: the name of the paying client");
  return ClientName(Object["client"]);
}

TClientRequest ParseClientRequest(const std::string &Body,
                                  const std::vector<std::string> &Fields) {
  const TJson Object = ParseObject(Body, true);
  for (const auto &Item : Object.items())
    if (Item.key() != "client" &&
        std::find(Fields.begin(), Fields.end(), Item.key()) == Fields.end())
      Refuse(codes::UnknownField, "unknown field \"" + Item.key() + "\"");
  TClientRequest Request;
  if (Object.contains("client"))
    Request.Client = ClientName(Object["client"]);
  if (Object.contains("force")) {
    if (!Object["force"].is_boolean())
      Refuse(codes::WrongType, "\"force\" must be true or false");
    Request.Force = Object["force"].get<bool>();
  }
  if (Object.contains("seconds"))
    Request.Seconds = Whole(Object["seconds"], "seconds", 1, MaxReservationSeconds);
  if (Object.contains("code"))
    Request.Code = Whole(Object["code"], "code", 0, 255);
  if (Object.contains("shift"))
    Request.Shift = Whole(Object["shift"], "shift", 1, std::numeric_limits<int>::max());
  return Request;
}

std::map<int, double> ParsePrices(const std::string &Body) {
  const TJson Object = ParseObject(Body, false);
  if (Object.empty())
    Refuse(codes::BadValue, "no prices given: write {\"GRADE\": PRICE, ...}");
  std::map<int, double> Prices;
  for (const auto &Item : Object.items()) {
    const auto Grade = Decimal(Item.key(), 2);
    if (!Grade || *Grade < 1 || *Grade > MaxGrade)
      Refuse(codes::BadValue, "\"" + Item.key() + "\" is not a grade number (1..99)");
    Prices[static_cast<int>(*Grade)] =
        Number(Item.value(), "price of grade " + Item.key(), 0.0, MaxPrice);
  }
  return Prices;
}

std::optional<std::int64_t> ParseTime(const std::string &Text) {
  if (auto Ms = Decimal(Text, 15))
    return Ms;
  // YYYY-MM-DDTHH:MM:SS[.fff]Z
  if (Text.size() < 20 || Text[4] != '-' || Text[7] != '-' ||
      (Text[10] != 'T' && Text[10] != 't') || Text[13] != ':' || Text[16] != ':' ||
      (Text.back() != 'Z' && Text.back() != 'z'))
    return std::nullopt;
  const std::string_view V(Text);
  const auto Y = Decimal(V.substr(0, 4), 4), Mo = Decimal(V.substr(5, 2), 2),
             D = Decimal(V.substr(8, 2), 2), H = Decimal(V.substr(11, 2), 2),
             Mi = Decimal(V.substr(14, 2), 2), S = Decimal(V.substr(17, 2), 2);
  if (!Y || !Mo || !D || !H || !Mi || !S || *Mo < 1 || *Mo > 12 || *D < 1 || *D > 31 ||
      *H > 23 || *Mi > 59 || *S > 60)
    return std::nullopt;
  // 2026-02-30 is no day: refused rather than taken as 2026-03-02.
  const bool Leap = (*Y % 4 == 0 && *Y % 100 != 0) || *Y % 400 == 0;
  constexpr std::array<int, 12> MonthDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (*D > MonthDays[static_cast<std::size_t>(*Mo - 1)] + (*Mo == 2 && Leap ? 1 : 0))
    return std::nullopt;
  std::int64_t Millis = 0;
  const std::string_view Rest = V.substr(19, V.size() - 20);
  if (!Rest.empty()) {
    const auto Fraction = Decimal(Rest.substr(std::min<std::size_t>(1, Rest.size())), 9);
    if (Rest[0] != '.' || !Fraction)
      return std::nullopt;
    // Keep milliseconds: "5" is 500 ms, "123456" is 123 ms.
    const std::string_view Digits = Rest.substr(1);
    std::int64_t Scaled = 0;
    for (std::size_t I = 0; I < 3; ++I)
      Scaled = Scaled * 10 + (I < Digits.size() ? Digits[I] - '0' : 0);
    Millis = Scaled;
  }
  const std::int64_t Days =
      DaysFromCivil(*Y, static_cast<unsigned>(*Mo), static_cast<unsigned>(*D));
  return ((Days * 24 + *H) * 60 + *Mi) * 60000 + *S * 1000 + Millis;
}

int ParseLimit(const std::multimap<std::string, std::string> &Query, int Default, int Max) {
  int Limit = Default;
  for (const auto &[Name, Value] : Query) {
    if (Name != "limit")
      throw EApiError(400, codes::BadQuery, "unknown parameter \"" + Name + "\": limit");
    const auto Number = Decimal(Value, std::to_string(Max).size());
    if (!Number || *Number < 1 || *Number > Max)
      throw EApiError(400, codes::BadQuery,
                      "limit \"" + Value + "\": write 1.." + std::to_string(Max));
    Limit = static_cast<int>(*Number);
  }
  return Limit;
}

station::TSaleFilter ParseSaleFilter(const std::multimap<std::string, std::string> &Query) {
  station::TSaleFilter Filter;
  for (const auto &[Name, Value] : Query) {
    if (Name == "state") {
      Filter.State = station::ParseSaleState(Value);
      if (!Filter.State)
        throw EApiError(400, codes::BadQuery,
                        "state \"" + Value + "\": write open, payable, locked or cleared");
    } else if (Name == "from" || Name == "to") {
      const auto At = ParseTime(Value);
      if (!At || *At == 0)
        throw EApiError(400, codes::BadQuery,
                        Name + " \"" + Value +
                            "\": write ISO 8601 in UTC (2026-12-08T22:50:09Z) or milliseconds");
      (Name == "from" ? Filter.FromMs : Filter.ToMs) = *At;
    } else if (Name == "limit") {
      const auto Limit = Decimal(Value, 5);
      if (!Limit || *Limit < 1 || *Limit > 10000)
        throw EApiError(400, codes::BadQuery, "limit \"" + Value + "\": write 1..10000");
      Filter.Limit = static_cast<int>(*Limit);
    } else {
      throw EApiError(400, codes::BadQuery,
                      "unknown parameter \"" + Name + "\": state, from, to or limit");
    }
  }
  return Filter;
}

} // namespace de30::service
