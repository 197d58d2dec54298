#include "report.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace de30::office {
namespace {

std::string Number(double Value) {
  char Text[64];
  std::snprintf(Text, sizeof Text, "%.2f", Value);
  return Text;
}

std::string Query(const TReportOptions &Options, TParams &Params) {
  if (Options.Kind == "daily") {
    Params = {std::to_string(Options.Days)};
    return "SELECT station, day, grade, sales, volume, amount FROM daily_grades "
           "WHERE day > current_date - $1::integer ORDER BY station, day, grade";
  }
  if (Options.Kind == "unsettled")
    return "SELECT station, shift_id AS shift, sale_id AS sale, pump, state, locked_by, "
           "volume, "
           "amount, started, ended FROM unsettled_sales ORDER BY station, sale_id";
  if (Options.Kind == "differences") {
    Params = {Number(Options.Tolerance)};
    return "SELECT station, shift_id AS shift, closed, pump, nozzle, grade, sales, volume, "
           "difference_volume, difference_amount FROM shifts_beyond($1::numeric) "
           "ORDER BY station, shift_id, pump, nozzle";
  }
  if (Options.Kind == "silent") {
    Params = {std::to_string(Options.StaleMinutes)};
    return "SELECT station, online, last_message, silent_for FROM silent_stations($1::integer) "
           "ORDER BY station";
  }
  throw std::invalid_argument("no report \"" + Options.Kind + "\"");
}

bool Numeric(const std::string &Cell) {
  if (Cell.empty())
    return false;
  std::size_t From = Cell[0] == '-' ? 1 : 0;
  bool Digit = false;
  for (std::size_t I = From; I < Cell.size(); ++I) {
    if (std::isdigit(static_cast<unsigned char>(Cell[I])))
      Digit = true;
    else if (Cell[I] != '.')
      return false;
  }
  return Digit;
}

} // namespace

const std::vector<std::string> &ReportKinds() {
  static const std::vector<std::string> Kinds = {"daily", "unsettled", "differences", "silent"};
  return Kinds;
}

TTable RunReport(TPg &Db, const TReportOptions &Options) {
  TParams Params;
  const std::string Sql = Query(Options, Params);
  // One snapshot of the database, and timestamps in the session's time zone.
  const auto Result = Db.Exec(Sql, Params);
  TTable Table;
  for (int Column = 0; Column < Result.Columns(); ++Column)
    Table.Columns.push_back(Result.Name(Column));
  for (int Row = 0; Row < Result.Rows(); ++Row) {
    auto &Cells = Table.Rows.emplace_back();
    for (int Column = 0; Column < Result.Columns(); ++Column)
      Cells.push_back(Result.IsNull(Row, Column)
                          ? std::nullopt
                          : std::optional<std::string>(Result.Text(Row, Column)));
  }
  return Table;
}

std::string FormatText(const TTable &Table) {
  std::vector<std::size_t> Width;
  for (const auto &Name : Table.Columns)
    Width.push_back(Name.size());
  for (const auto &Row : Table.Rows)
    for (std::size_t I = 0; I < Row.size(); ++I)
      Width[I] = std::max(Width[I], Row[I] ? Row[I]->size() : 1);
  const auto Line = [&](const std::vector<std::optional<std::string>> &Cells) {
    std::string Text;
    for (std::size_t I = 0; I < Cells.size(); ++I) {
      const std::string Cell = Cells[I].value_or("-");
      const std::string Pad(Width[I] - Cell.size(), ' ');
      Text += (I ? "  " : "") + (Numeric(Cell) ? Pad + Cell : Cell + Pad);
    }
    while (!Text.empty() && Text.back() == ' ')
      Text.pop_back();
    return Text + "\n";
  };
  std::vector<std::optional<std::string>> Head(Table.Columns.begin(), Table.Columns.end());
  std::string Text = Line(Head);
  std::vector<std::optional<std::string>> Rule;
  for (const auto W : Width)
    Rule.emplace_back(std::string(W, '-'));
  Text += Line(Rule);
  for (const auto &Row : Table.Rows)
    Text += Line(Row);
  Text += "(" + std::to_string(Table.Rows.size()) +
          (Table.Rows.size() == 1 ? " row" : " rows") + ")\n";
  return Text;
}

std::string FormatCsv(const TTable &Table) {
  const auto Field = [](const std::string &Cell) {
    if (Cell.find_first_of(",\"\r\n") == std::string::npos)
      return Cell;
    std::string Quoted = "\"";
    for (const char C : Cell)
      Quoted += C == '"' ? std::string("\"\"") : std::string(1, C);
    return Quoted + "\"";
  };
  std::string Text;
  for (std::size_t I = 0; I < Table.Columns.size(); ++I)
    Text += (I ? "," : "") + Field(Table.Columns[I]);
  Text += "\r\n";
  for (const auto &Row : Table.Rows) {
    for (std::size_t I = 0; I < Row.size(); ++I)
      Text += (I ? "," : "") + (Row[I] ? Field(*Row[I]) : std::string());
    Text += "\r\n";
  }
  return Text;
}

} // namespace de30::office
