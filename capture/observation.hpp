#pragma once
// What the exchanges a tap hears say about the pumps: each exchange whose reply
// was paired with its frame becomes the readings and commands a station follows
// its fuelling points by, each tied to the pump the exchange addressed. Nothing
// comes of bytes the splitter could not pair (garbage, a reply without its
// frame): they are counted by whoever heard them, never read.
//
// - A status or nozzle poll gives the host code de30's driver would derive
//   (capture/host_codes.hpp), with the shadow driver's tables as they stood
//   before it; a poll without a whole reply is a miss, one the reply check
//   refuses a rejection.
// - An accepted fill read gives the pump's fill. The totals requests carry no
//   pump address: the pump the line addressed last answers them, so a pair of
//   accepted totals replies (volume, then amount) counts for that pump only when
//   they follow one of its exchanges without anything between.
// - A command 4 counts once its execute (command 5) has been heard: taken when
//   both replies came whole, unknown when either failed (the pump may or may
//   not have acted on it).

#include "capture/host_codes.hpp"
#include "capture/tap_splitter.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace de30::capture {

struct TObservation {
  enum class TKind {
    Status,   // Code, Nozzle, Shadow; NozzlePoll for the multi-nozzle poll
    Missed,   // a status poll without a whole reply
    Rejected, // a status poll whose reply the reply check refused
    Fill,     // Volume, Amount
    Totals,   // Volume, Amount
    Start,    // Taken
    Stop,     // Taken
    Unblock,  // Taken
    Dose,     // Taken, Volume: the dose in litres
    Prices,   // Taken, Prices: position 1 first
  } Kind = TKind::Status;
  int Pump = 0;
  std::uint8_t Code = 0;
  std::uint8_t Nozzle = 0;
  bool NozzlePoll = false;
  TShadowPump Shadow; // the driver's tables for the pump before the poll
  double Volume = 0.0;
  double Amount = 0.0;
  bool Taken = false;
  std::vector<double> Prices;
};
const char *ObservationName(TObservation::TKind Kind); // "status", "fill", ...

class TExchangeDecoder {
public:
  // Follows one piece the splitter gave out on Line; what it says. Pieces that
  // are not exchanges say nothing, but end a pairing of totals as any exchange
  // between would.
  std::vector<TObservation> Decode(int Line, const THeard &Piece);

private:
  struct TPending {
    std::vector<std::uint8_t> Command; // the command 4, lead byte first
    bool Through = false;              // its reply came whole
  };
  void Command4(int Pump, const THeard &E, std::vector<TObservation> &Out);
  void Execute(int Pump, const THeard &E, std::vector<TObservation> &Out);

  THostCodes Codes;
  // The pump the line addressed last, 0 when the last piece was not its exchange.
  int LastPump = 0;
  // The totals volume read after LastPump's exchange, waiting for the amount.
  std::optional<double> TotalsVolume;
  // Command 4 heard per pump, waiting for its execute.
  std::map<int, TPending> Pending;
};

} // namespace de30::capture
