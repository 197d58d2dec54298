#include "api_error.hpp"

#include <algorithm>
#include <array>

namespace de30::service {
namespace {

using TStatus = station::TCommandResult::TStatus;

// A line that failed is the gateway's fault (502); a service going down and a
// journal that cannot write for now are temporary (503: the client tries again);
// a reply that never came, after the command may have been taken, is the
// gateway's time-out (504).
constexpr std::array<TStatusMapping, 17> Table{{
    {TStatus::Ok, 200, "ok"},
    {TStatus::UnknownPump, 404, "unknown_pump"},
    {TStatus::UnknownGrade, 400, "unknown_grade"},
    {TStatus::WrongState, 409, "wrong_state"},
    {TStatus::BadValue, 400, "bad_value"},
    {TStatus::NoPrice, 409, "no_price"},
    {TStatus::LineFailed, 502, "line_failed"},
    {TStatus::Uncertain, 504, "uncertain"},
    {TStatus::UnknownSale, 404, "unknown_sale"},
    {TStatus::NotPayable, 409, "not_payable"},
    {TStatus::NotLocked, 409, "not_locked"},
    {TStatus::LockedByOther, 409, "locked_by_other"},
    {TStatus::AlreadyCleared, 409, "already_cleared"},
    {TStatus::Journal, 503, "journal"},
    {TStatus::Stopping, 503, "stopping"},
    {TStatus::Reserved, 409, "reserved"},
    {TStatus::TapLine, 409, "tap_line"},
}};

} // namespace

std::span<const TStatusMapping> StatusTable() { return Table; }

const TStatusMapping &MapStatus(TStatus Status) {
  const auto *Found = std::find_if(Table.begin(), Table.end(),
                                   [Status](const auto &Row) { return Row.Status == Status; });
  // A status added to the station but not here is an internal fault, not a success.
  static const TStatusMapping Unmapped{TStatus::Journal, 500, codes::Internal};
  return Found == Table.end() ? Unmapped : *Found;
}

EApiError Refusal(const station::TCommandResult &Result) {
  const TStatusMapping &Row = MapStatus(Result.Status);
  if (Row.Http < 400)
    return EApiError(500, codes::Internal, "a refusal without a reason");
  return EApiError(Row.Http, Row.Code, Result.Message.empty() ? Row.Code : Result.Message);
}

} // namespace de30::service
