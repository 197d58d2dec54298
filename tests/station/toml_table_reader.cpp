#include "station/toml_table_reader.hpp"

#include "station/run_scenario.hpp"

#include <cmath>
#include <exception>

namespace de30::station::runs {

namespace {

// The station's own grade numbers.
constexpr int MaxGrade = 99;

} // namespace

int LineOf(const toml::node &Node) { return static_cast<int>(Node.source().begin.line); }

void TTableReader::Fail(const toml::node &At, const std::string &Key,
                        const std::string &Message) const {
  Fail(LineOf(At), Key, Message);
}

void TTableReader::Fail(int Line, const std::string &Key, const std::string &Message) const {
  std::string Text = File;
  if (Line > 0)
    Text += ":" + std::to_string(Line);
  Text += ": " + Name(Key) + ": " + Message;
  throw EScenarioError(Text);
}

const toml::node *TTableReader::Find(const std::string &Key) {
  Asked.insert(Key);
  return Table.get(Key);
}

std::optional<std::int64_t> TTableReader::Int(const std::string &Key, std::int64_t Min,
                                              std::int64_t Max) {
  const toml::node *Node = Find(Key);
  if (Node == nullptr)
    return std::nullopt;
  if (!Node->is_integer())
    Fail(*Node, Key, "an integer is wanted");
  const std::int64_t Value = Node->as_integer()->get();
  if (Value < Min || Value > Max)
    Fail(*Node, Key, "lies in " + std::to_string(Min) + ".." + std::to_string(Max));
  return Value;
}

std::int64_t TTableReader::NeedInt(const std::string &Key, std::int64_t Min, std::int64_t Max) {
  const auto Value = Int(Key, Min, Max);
  if (!Value)
    Fail(LineOf(Table), Key, "missing");
  return *Value;
}

std::optional<double> TTableReader::Amount(const std::string &Key) {
  const toml::node *Node = Find(Key);
  if (Node == nullptr)
    return std::nullopt;
  return AmountAt(*Node, Key);
}

double TTableReader::AmountAt(const toml::node &Node, const std::string &Key) const {
  double Value = 0.0;
  if (Node.is_integer())
    Value = static_cast<double>(Node.as_integer()->get());
  else if (Node.is_floating_point())
    Value = Node.as_floating_point()->get();
  else
    Fail(Node, Key, "a number is wanted");
  if (!std::isfinite(Value) || Value < 0.0 ||
      std::fabs(Value * 100.0 - std::round(Value * 100.0)) > 1e-6)
    Fail(Node, Key, "a number of at most two decimals, not negative, is wanted");
  return Value;
}

std::optional<std::string> TTableReader::Text(const std::string &Key) {
  const toml::node *Node = Find(Key);
  if (Node == nullptr)
    return std::nullopt;
  if (!Node->is_string())
    Fail(*Node, Key, "a string is wanted");
  return Node->as_string()->get();
}

bool TTableReader::Flag(const std::string &Key) {
  const toml::node *Node = Find(Key);
  if (Node == nullptr)
    return false;
  if (!Node->is_boolean())
    Fail(*Node, Key, "true or false is wanted");
  return Node->as_boolean()->get();
}

std::map<int, const toml::node *> TTableReader::ByGrade(const std::string &Key) {
  std::map<int, const toml::node *> Entries;
  const toml::node *Node = Find(Key);
  if (Node == nullptr)
    return Entries;
  if (!Node->is_table())
    Fail(*Node, Key, "a table of grade numbers is wanted");
  for (const auto &[GradeKey, Value] : *Node->as_table()) {
    const std::string Digits(GradeKey.str());
    int Grade = 0;
    try {
      std::size_t Used = 0;
      Grade = std::stoi(Digits, &Used);
      if (Used != Digits.size())
        Grade = 0;
    } catch (const std::exception &) {
      Grade = 0;
    }
    if (Grade < 1 || Grade > MaxGrade)
      Fail(Value, Key + "." + Digits, "a grade number 1..99 is wanted");
    Entries[Grade] = &Value;
  }
  return Entries;
}

std::map<int, double> TTableReader::Prices(const std::string &Key) {
  std::map<int, double> Prices;
  for (const auto &[Grade, Node] : ByGrade(Key))
    Prices[Grade] = AmountAt(*Node, Key + "." + std::to_string(Grade));
  return Prices;
}

void TTableReader::Done() const {
  for (const auto &[Key, Value] : Table)
    if (!Asked.contains(std::string(Key.str())))
      Fail(Value, std::string(Key.str()), "unknown key");
}

std::string TTableReader::Name(const std::string &Key) const {
  return Where.empty() ? Key : Where + "." + Key;
}

} // namespace de30::station::runs
