#pragma once
// What a command to a pump or a sale came to.

#include "station/sale.hpp"

#include <optional>
#include <string>

namespace de30::station {

// Why a command was refused, in words a POS developer can act on. Code is fixed
// (clients may rely on it); Message explains.
struct TCommandResult {
  enum class TStatus {
    Ok,
    UnknownPump,  // no such pump in the configuration
    UnknownGrade, // no such grade, or the pump does not sell it
    WrongState,   // the pump's state does not allow the command (offline, fuelling, ...)
    BadValue,     // a preset, price or unblock code outside its range or not allowed
    NoPrice,      // the grade has no price, or the pump has not been sent its prices
    LineFailed,   // the pump did not take the command (its reply failed or was rejected)
    // A reply was lost after the command may have reached the pump: whether it took
    // it shows in what the pump does next. The sale (if any) stays open meanwhile.
    Uncertain,
    UnknownSale,
    NotPayable,
    NotLocked,
    LockedByOther,
    AlreadyCleared,
    Journal,  // the journal could not record the step: nothing was done
    Stopping, // the service is shutting down
    Reserved, // the pump is reserved for another client
    // The pump is on a tap line: another controller drives it, and this station
    // only listens (keep it last: tables run to it).
    TapLine,
  } Status = TStatus::Ok;
  std::string Message;
  std::optional<TSale> Sale; // the sale a sale command acted on

  bool Ok() const { return Status == TStatus::Ok; }
  static TCommandResult Fail(TStatus Status, std::string Message);
};
const char *StatusCode(TCommandResult::TStatus Status); // "unknown_pump", "wrong_state", ...

} // namespace de30::station
