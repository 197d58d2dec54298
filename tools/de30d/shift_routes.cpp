// /api/v1/shifts: closing a shift, and the reports of the shifts closed.

#include "requests.hpp"
#include "routes.hpp"

namespace de30::service {
namespace {

constexpr int DefaultShifts = 30;
constexpr int MaxShifts = 1000;

} // namespace

void AddShiftRoutes(httplib::Server &Server, TApiContext &Context) {
  Server.Get("/api/v1/shifts",
             StateQuery(Context, [&Context](const httplib::Request &Q, httplib::Response &R) {
               const int Limit = ParseLimit(Q.params, DefaultShifts, MaxShifts);
               TJson Shifts = TJson::array();
               for (const auto &Shift : Context.Station.Journal().Shifts(Limit))
                 Shifts.push_back(ShiftJson(Shift));
               SendJson(R, 200, Shifts);
             }));
  // The open shift, with its figures as a close now would give them.
  Server.Get("/api/v1/shifts/current",
             StateQuery(Context, [&Context](const httplib::Request &, httplib::Response &R) {
               SendJson(R, 200, ShiftJson(Context.Station.ShiftSoFar()));
             }));
  Server.Get("/api/v1/shifts/([^/]+)",
             StateQuery(Context, [&Context](const httplib::Request &Q, httplib::Response &R) {
               const std::int64_t Id = ParseShiftId(Q.matches[1]);
               auto Shift = Context.Station.Journal().Shift(Id);
               if (!Shift)
                 throw EApiError(404, codes::UnknownShift, "no shift " + std::to_string(Id));
               // The open shift with its figures so far, as /current has it.
               if (!Shift->Closed())
                 if (auto SoFar = Context.Station.ShiftSoFar(); SoFar.Id == Id)
                   Shift = std::move(SoFar);
               SendJson(R, 200, ShiftJson(*Shift));
             }));
  Server.Post("/api/v1/shifts/close",
              Command(Context, [&Context](const httplib::Request &Q, httplib::Response &R,
                                          const TCaller &Caller) {
                const TClientRequest Request = ParseClientRequest(Q.body, {"shift"});
                const std::string Client = NamedClient(Caller, Request.Client);
                const auto Closed = Context.Station.CloseShift(Client, Request.Shift);
                // Only a close that names a shift can miss it.
                if (!Closed)
                  throw EApiError(409, codes::ShiftNotOpen,
                                  "shift " + std::to_string(Request.Shift.value_or(0)) +
                                      " is not the open shift (closed before, or not opened "
                                      "yet)");
                SendJson(R, 200, ShiftJson(*Closed));
              }));
}

} // namespace de30::service
