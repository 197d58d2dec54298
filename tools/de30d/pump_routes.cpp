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
void AddPumpCommand(
    httplib::Server &Server, TApiContext &Context, const std::string &Verb,
    std::function<station::TCommandResult(const TPumpAddress &, const std::string &Body)> Run) {
  Server.Post("/api/v1/pumps/([^/]+)/" + Verb,
              Command(Context, [&Context, Run = std::move(Run)](const httplib::Request &Q,
                                                                httplib::Response &R) {
                const TPumpAddress Address = ParsePumpId(Q.matches[1]);
                Require(Run(Address, Q.body));
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
  AddPumpCommand(
      Server, Context, "authorize", [&Context](const TPumpAddress &A, const std::string &Body) {
        const TAuthorizeRequest Request = ParseAuthorize(Body);
        return Context.Station.Authorize(A.Line, A.Pump, Request.Preset, Request.Grade);
      });
  AddPumpCommand(Server, Context, "stop",
                 [&Context](const TPumpAddress &A, const std::string &Body) {
                   ParseNoArguments(Body);
                   return Context.Station.StopPump(A.Line, A.Pump);
                 });
  AddPumpCommand(Server, Context, "unblock",
                 [&Context](const TPumpAddress &A, const std::string &Body) {
                   return Context.Station.Unblock(A.Line, A.Pump, ParseUnblock(Body));
                 });
}

} // namespace de30::service
