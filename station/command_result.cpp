#include "station/command_result.hpp"

namespace de30::station {

using TStatus = TCommandResult::TStatus;

TCommandResult TCommandResult::Fail(TStatus Status, std::string Message) {
  TCommandResult Result;
  Result.Status = Status;
  Result.Message = std::move(Message);
  return Result;
}

const char *StatusCode(TStatus Status) {
  switch (Status) {
  case TStatus::Ok:
    return "ok";
  case TStatus::UnknownPump:
    return "unknown_pump";
  case TStatus::UnknownGrade:
    return "unknown_grade";
  case TStatus::WrongState:
    return "wrong_state";
  case TStatus::BadValue:
    return "bad_value";
  case TStatus::NoPrice:
    return "no_price";
  case TStatus::LineFailed:
    return "line_failed";
  case TStatus::Uncertain:
    return "uncertain";
  case TStatus::UnknownSale:
    return "unknown_sale";
  case TStatus::NotPayable:
    return "not_payable";
  case TStatus::NotLocked:
    return "not_locked";
  case TStatus::LockedByOther:
    return "locked_by_other";
  case TStatus::AlreadyCleared:
    return "already_cleared";
  case TStatus::Journal:
    return "journal";
  case TStatus::Stopping:
    return "stopping";
  case TStatus::Reserved:
    return "reserved";
  case TStatus::TapLine:
    return "tap_line";
  }
  return "unknown";
}

} // namespace de30::station
