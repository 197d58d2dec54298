#pragma once
// A shift: the time between two closes, and what the station sold in it against
// what its pumps' totals moved. docs/api.md describes the report.
//
// Which shift a sale belongs to: the first shift closed after the sale itself
// closed (payable, or cleared when empty); its fuel is counted there and nowhere
// else. Whose money a sale is: the client that cleared it, counted in the first
// shift closed after the clearing. A sale not cleared at a close is listed in
// that shift's pending sales (and in every later one until it is cleared).

#include "station/sale.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace de30::station {

// A pump's totals at a shift's open or close: the last ones the station read.
struct TShiftTotals {
  bool Known = false;
  double Volume = 0.0;
  double Amount = 0.0;
  std::int64_t ReadMs = 0; // when they were read (wall clock)
  // The sale they were read with: at its start (a sale open at the close) or
  // its end; 0 for the pump's last totals kept between sales.
  std::int64_t SaleId = 0;
  std::string Missing; // why they are not known (Known false)
  bool operator==(const TShiftTotals &) const = default;
};

struct TShiftNozzle {
  int Line = 0;
  int Pump = 0;
  int Nozzle = 0; // 0: sales whose nozzle is not known
  int Grade = 0;
  TShiftTotals Open;
  TShiftTotals Close;
  std::int64_t Sales = 0; // the nozzle's sales that belong to the shift
  double Volume = 0.0;
  double Amount = 0.0;

  // Totals moved minus sales, when both totals are known: above 0 fuel that
  // went out without a sale, below 0 sales without the fuel.
  bool HasDifference() const { return Open.Known && Close.Known; }
  double DifferenceVolume() const { return Close.Volume - Open.Volume - Volume; }
  double DifferenceAmount() const { return Close.Amount - Open.Amount - Amount; }
  std::string PumpId() const { return std::to_string(Line) + ":" + std::to_string(Pump); }
  bool operator==(const TShiftNozzle &) const = default;
};

struct TShiftGrade {
  int Grade = 0;
  std::int64_t Sales = 0;
  double Volume = 0.0;
  double Amount = 0.0;
  bool operator==(const TShiftGrade &) const = default;
};

// The sales a client cleared.
struct TShiftClient {
  std::string Client;
  std::int64_t Sales = 0;
  double Volume = 0.0;
  double Amount = 0.0;
  bool operator==(const TShiftClient &) const = default;
};

// A sale open or not cleared when the shift closed, as it was then.
struct TShiftPending {
  std::int64_t SaleId = 0;
  int Line = 0;
  int Pump = 0;
  TSaleState State = TSaleState::Open;
  std::string LockedBy;
  double Volume = 0.0;
  double Amount = 0.0;
  std::int64_t StartedMs = 0;
  std::int64_t EndedMs = 0; // 0 for a sale that was open
  std::string PumpId() const { return std::to_string(Line) + ":" + std::to_string(Pump); }
  bool operator==(const TShiftPending &) const = default;
};

struct TShift {
  std::int64_t Id = 0;
  std::int64_t OpenedMs = 0;
  std::int64_t ClosedMs = 0; // 0 while open
  std::string ClosedBy;      // the client that closed it
  std::vector<TShiftNozzle> Nozzles;
  std::vector<TShiftGrade> Grades;
  std::vector<TShiftClient> Clients;
  std::vector<TShiftPending> Pending;
  bool Uploaded = false; // the head office has acknowledged it

  bool Closed() const { return ClosedMs != 0; }
  bool operator==(const TShift &) const = default;
};

// What a close needs to know of each configured nozzle: its grade, and whether
// the pump's totals count that nozzle alone (NotOwn empty) or why not.
struct TShiftCounter {
  int Line = 0;
  int Pump = 0;
  int Nozzle = 0;
  int Grade = 0;
  std::string NotOwn;
};

} // namespace de30::station
