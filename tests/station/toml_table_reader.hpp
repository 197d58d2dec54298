#pragma once
// One table of a TOML file, read key by key for a scenario of the recorded
// station runs. Every fault names the file, the line and the key's path
// ("runs/x.toml:12: step[0].nozzle: missing"), and a key nobody asked for is a
// fault, so that a misspelt setting is refused instead of quietly doing nothing.

#include <toml++/toml.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace de30::station::runs {

int LineOf(const toml::node &Node);

class TTableReader {
public:
  // Where is the table's path in the file ("" for the top, "pump[1]").
  TTableReader(const toml::table &Read, std::string FileName, std::string Path)
      : Table(Read), File(std::move(FileName)), Where(std::move(Path)) {}

  // EScenarioError for Key of this table, at the node's line or at Line (0: none).
  [[noreturn]] void Fail(const toml::node &At, const std::string &Key,
                         const std::string &Message) const;
  [[noreturn]] void Fail(int Line, const std::string &Key, const std::string &Message) const;

  // The node of Key, null when the table lacks it; either way Key counts as read.
  const toml::node *Find(const std::string &Key);
  std::optional<std::int64_t> Int(const std::string &Key, std::int64_t Min, std::int64_t Max);
  std::int64_t NeedInt(const std::string &Key, std::int64_t Min, std::int64_t Max);
  // An amount of money, litres or a price: at most two decimals, never negative.
  std::optional<double> Amount(const std::string &Key);
  double AmountAt(const toml::node &Node, const std::string &Key) const;
  std::optional<std::string> Text(const std::string &Key);
  bool Flag(const std::string &Key); // false when missing
  // A table whose keys are grade numbers (1..99), each to its node.
  std::map<int, const toml::node *> ByGrade(const std::string &Key);
  std::map<int, double> Prices(const std::string &Key);
  // Refuses the first key of the table that was not read.
  void Done() const;

private:
  std::string Name(const std::string &Key) const;

  const toml::table &Table;
  std::string File;
  std::string Where;
  std::set<std::string> Asked;
};

} // namespace de30::station::runs
