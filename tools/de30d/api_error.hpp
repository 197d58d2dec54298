#pragma once
// The interface's refusals. Each leaves as {"error": code, "message": text} with
// an HTTP status; codes are fixed so that clients can branch on them, messages are
// for people.

#include "station/station.hpp"

#include <span>
#include <stdexcept>
#include <string>

namespace de30::service {

class EApiError : public std::runtime_error {
public:
  EApiError(int HttpStatus, std::string ErrorCode, const std::string &Message)
      : std::runtime_error(Message), Status(HttpStatus), Code(std::move(ErrorCode)) {}
  int Status;
  std::string Code;
};

// Refusals the interface makes before the station sees a request.
namespace codes {
inline constexpr char MalformedJson[] = "malformed_json"; // not JSON, or not an object
inline constexpr char WrongType[] = "wrong_type";         // a field of the wrong JSON type
inline constexpr char BadValue[] = "bad_value";           // negative, non-finite, out of range
inline constexpr char MissingField[] = "missing_field";
inline constexpr char UnknownField[] = "unknown_field"; // a typo must not pass as "absent"
inline constexpr char ConflictingPreset[] = "conflicting_preset"; // both litres and money
inline constexpr char BadPumpId[] = "bad_pump_id";                // not LINE:PUMP
inline constexpr char BadSaleId[] = "bad_sale_id";
inline constexpr char BadQuery[] = "bad_query";
inline constexpr char NotFound[] = "not_found"; // no such route
inline constexpr char PayloadTooLarge[] = "payload_too_large";
inline constexpr char Unauthorized[] = "unauthorized";
inline constexpr char TooManyStreams[] = "too_many_streams";
inline constexpr char Internal[] = "internal";
inline constexpr char DuplicateKey[] = "duplicate_key"; // a key twice in one JSON object
inline constexpr char MethodNotAllowed[] = "method_not_allowed";
inline constexpr char UnsupportedMediaType[] = "unsupported_media_type"; // not JSON
inline constexpr char ForbiddenOrigin[] = "forbidden_origin"; // a page of another site
inline constexpr char ForbiddenHost[] = "forbidden_host";     // a name that is not ours
inline constexpr char TooManyConnections[] = "too_many_connections";
inline constexpr char Forbidden[] = "forbidden"; // a viewer's command, a force by a POS
inline constexpr char ClientMismatch[] = "client_mismatch"; // a body naming another client
inline constexpr char BadIdempotencyKey[] = "bad_idempotency_key";
inline constexpr char RequestInProgress[] =
    "request_in_progress"; // the same key, still running
inline constexpr char IdempotencyKeyReused[] = "idempotency_key_reused"; // for another request
inline constexpr char BadShiftId[] = "bad_shift_id";
inline constexpr char UnknownShift[] = "unknown_shift";
inline constexpr char ShiftNotOpen[] = "shift_not_open"; // a close of a shift closed before
} // namespace codes

// How a station refusal reaches a client: the one table from the station's
// statuses to HTTP.
struct TStatusMapping {
  station::TCommandResult::TStatus Status;
  int Http;
  const char *Code;
};
std::span<const TStatusMapping> StatusTable();
const TStatusMapping &MapStatus(station::TCommandResult::TStatus Status);

// The refusal of a result that is not Ok.
EApiError Refusal(const station::TCommandResult &Result);

} // namespace de30::service
