// /api/v1/pumps: the fuelling points and the commands on one of them.

#include "requests.hpp"
#include "routes.hpp"

namespace de30::service {
namespace {

using TStatus = station::TCommandResult::TStatus;

station::TPumpSnapshot FindPump(TApiContext &Context, const TPumpAddress &Address) {
  auto Pump = Context.Station.Pump(Address.Line, Address.Pump);
  if (!Pump) {
    const TStatusMapping &Row = MapStatus(TStatus::UnknownPump);
    throw EApiError(Row.Http, Row.Code,
                    "no pump " + std::to_string(Address.Line) + ":" +
                        std::to_string(Address.Pump) + " in the configuration");
  }
  return *Pump;
}

// A command on one pump answers with the pump as it is afterwards.
void AddPumpCommand(httplib::Server &Server, TApiContext &Context, const std::string &Verb,
                    std::function<station::TCommandResult(
                        const TPumpAddress &, const std::string &Body, const TCaller &)>
                        Run) {
  Server.Post("/api/v1/pumps/([^/]+)/" + Verb,
              Command(Context, [&Context, Run = std::move(Run)](const httplib::Request &Q,
                                                                httplib::Response &R,
                                                                const TCaller &Caller) {
                const TPumpAddress Address = ParsePumpId(Q.matches[1]);
                Require(Run(Address, Q.body, Caller));
                SendJson(R, 200, PumpJson(FindPump(Context, Address)));
              }));
}

} // namespace

void AddPumpRoutes(httplib::Server &Server, TApiContext &Context) {
  Server.Get("/api/v1/pumps",
             StateQuery(Context, [&Context](const httplib::Request &, httplib::Response &R) {
               TJson Pumps = TJson::array();
               for (const auto &Pump : Context.Station.Pumps())
                 Pumps.push_back(PumpJson(Pump));
               SendJson(R, 200, Pumps);
             }));
  Server.Get("/api/v1/pumps/([^/]+)",
             StateQuery(Context, [&Context](const httplib::Request &Q, httplib::Response &R) {
               SendJson(R, 200, PumpJson(FindPump(Context, ParsePumpId(Q.matches[1]))));
             }));
  // The body is read before the station is asked, so that a malformed request is
  // refused as such even for a pump that does not exist.
  AddPumpCommand(Server, Context, "authorize",
                 [&Context](const TPumpAddress &A, const std::string &Body, const TCaller &C) {
                   const TAuthorizeRequest Request = ParseAuthorize(Body);
                   return Context.Station.Authorize(A.Line, A.Pump, Request.Preset,
                                                    Request.Grade,
                                                    ClientFor(C, Request.Client));
                 });
  AddPumpCommand(Server, Context, "stop",
                 [&Context](const TPumpAddress &A, const std::string &Body, const TCaller &C) {
                   const TClientRequest Request = ParseClientRequest(Body, {});
                   return Context.Station.StopPump(A.Line, A.Pump,
                                                   ClientFor(C, Request.Client));
                 });
  AddPumpCommand(Server, Context, "unblock",
                 [&Context](const TPumpAddress &A, const std::string &Body, const TCaller &C) {
                   const TClientRequest Request = ParseClientRequest(Body, {"code"});
                   if (!Request.Code)
                     throw EApiError(400, codes::MissingField,
                                     "\"code\" is missing: the unblock code, 0..255");
                   return Context.Station.Unblock(A.Line, A.Pump, *Request.Code,
                                                  ClientFor(C, Request.Client));
                 });
  // reserve and release answer with the reservation, as it is after the command.
  Server.Post("/api/v1/pumps/([^/]+)/reserve",
              Command(Context, [&Context](const httplib::Request &Q, httplib::Response &R,
                                          const TCaller &Caller) {
                const TPumpAddress A = ParsePumpId(Q.matches[1]);
                const TClientRequest Request = ParseClientRequest(Q.body, {"seconds"});
                Require(Context.Station.Reserve(
                    A.Line, A.Pump, NamedClient(Caller, Request.Client),
                    Request.Seconds.value_or(station::DefaultReservationS)));
                const auto Held = Context.Station.Reservation(A.Line, A.Pump);
                SendJson(R, 200, Held ? ReservationJson(*Held) : TJson(nullptr));
              }));
  Server.Post("/api/v1/pumps/([^/]+)/release",
              Command(Context, [&Context](const httplib::Request &Q, httplib::Response &R,
                                          const TCaller &Caller) {
                const TPumpAddress A = ParsePumpId(Q.matches[1]);
                const TClientRequest Request = ParseClientRequest(Q.body, {"force"});
                CheckForce(Caller, Request.Force);
                const auto Held = Context.Station.Reservation(A.Line, A.Pump);
                Require(Context.Station.Release(
                    A.Line, A.Pump, NamedClient(Caller, Request.Client), Request.Force));
                TJson Ended = Held ? ReservationJson(*Held) : TJson::object();
                Ended["released"] = true;
                SendJson(R, 200, Ended);
              }));
  Server.Get("/api/v1/reservations",
             StateQuery(Context, [&Context](const httplib::Request &, httplib::Response &R) {
               TJson All = TJson::array();
               const auto Now = station::NowEpochMs();
               for (const auto &Held : Context.Station.Reservations())
                 if (Held.UntilMs > Now)
                   All.push_back(ReservationJson(Held));
               SendJson(R, 200, All);
             }));
}

} // namespace de30::service
