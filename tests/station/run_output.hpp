#pragma once
// What a recorded station run produced, as the text of its expected file
// (tests/station/runs/NAME.expected): one line per event the station published,
// the journal's sales at the end of the run, and what each POS command came to.
// Wall-clock times are left out; every other figure is written, so that a
// changed figure shows.

#include "station/command_result.hpp"
#include "station/events.hpp"
#include "station/sale.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace de30::station::runs {

// An event, with where in the run it was published.
struct TLoggedEvent {
  std::uint32_t Exchanges = 0; // exchanges the line had made
  std::int64_t AtMs = 0;       // the run's clock
  TEvent Event;
};

// A POS command of the run and what it came to.
struct TLoggedCommand {
  std::uint32_t At = 0;                 // queued before this exchange
  std::string What;                     // "authorise 1:2 litres 5.00"
  std::optional<TCommandResult> Result; // none: it had not run when the run ended
};

std::string EventLine(const TLoggedEvent &Logged);
std::string SaleLine(const TSale &Sale);
std::string CommandLine(const TLoggedCommand &Command);

// The whole text: a header naming the run, then the three parts. Of the events,
// pump, sale and price events have a line, but not line health, which is about
// the machine the run ran on rather than what the station decided; and of the
// progress writes of an open sale only those that change its flags (uncertain,
// unsettled). How often an open sale is written is the journal's cadence, not a
// figure of the sale: the pump's "fill progress" events show the fill as it
// grows, and the journal at the end what was written.
std::string RunText(const std::string &Name, const std::vector<TLoggedEvent> &Events,
                    const std::vector<TSale> &Journal,
                    const std::vector<TLoggedCommand> &Commands);

// Where Actual first parts from Expected, with line numbers and a few lines of
// context before it ("-" expected, "+" actual); empty when the two are equal.
std::string FirstDifference(const std::string &Expected, const std::string &Actual);

} // namespace de30::station::runs
