#pragma once
// A station's sale message (docs/uplink.md) as the office stores it: the columns
// of the sales table, the figures a repeat of it must match, and the whole
// message, kept as it came.

#include "pg.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace de30::office {

using TJson = nlohmann::json;

// The sales table's columns that a message fills, in the order of
// TSaleRecord::Columns (station and sale_id come first in every statement).
const std::vector<std::string> &SaleColumns();

struct TSaleRecord {
  std::string Station;
  std::int64_t Id = 0;
  TParams Columns;
  // What a sale's repeat must have alike: every figure, not its state of payment
  // (state, locked_by), which moves on after the sale closed.
  TJson Figures;
  TJson Body;
};

struct TParsedSale {
  bool Ok = false;
  TSaleRecord Record; // Ok
  // Otherwise why not; Station and Id are set when the message names them (the
  // office can then keep it aside and acknowledge it).
  std::string Fault;
  std::string Station;
  std::int64_t Id = 0;
  TJson Body;
};
TParsedSale ParseSale(const std::string &Payload);

// Where two sales' figures differ ("volume: 10 stored, 12 received; ..."), over
// the keys both have (a later de30d may add figures); empty when they agree.
std::string FigureDifference(const TJson &Stored, const TJson &Received);

} // namespace de30::office
