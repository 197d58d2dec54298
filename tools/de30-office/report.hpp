#pragma once
// `de30-office report KIND`: the office's views (docs/office.md) read out as an
// aligned text table or as CSV.
//   daily        per station, day and grade: sales, volume, amount (the last Days)
//   unsettled    sales open or not cleared at a station's last shift close, older
//                than a day
//   differences  shift nozzles whose difference exceeds Tolerance litres
//   silent       stations not heard from for StaleMinutes

#include "pg.hpp"

#include <optional>
#include <string>
#include <vector>

namespace de30::office {

struct TReportOptions {
  std::string Kind;
  double Tolerance = 0.5; // litres
  int StaleMinutes = 15;
  int Days = 7;
};

struct TTable {
  std::vector<std::string> Columns;
  std::vector<std::vector<std::optional<std::string>>> Rows; // nullopt: NULL
};

// The kinds there are, for the command line.
const std::vector<std::string> &ReportKinds();
// EDatabase when the database fails; std::invalid_argument for an unknown kind.
TTable RunReport(TPg &Db, const TReportOptions &Options);
// Columns padded to their widest cell, numbers to the right; NULL as "-".
std::string FormatText(const TTable &Table);
// RFC 4180: a header line, fields quoted when they must be; NULL as empty.
std::string FormatCsv(const TTable &Table);

} // namespace de30::office
