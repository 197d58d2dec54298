// /api/v1/station, /prices, /lines and /stop-all: what concerns the whole
// station; and /metrics, the station for Prometheus.

#include "exposition.hpp"
#include "metrics.hpp"
#include "requests.hpp"
#include "routes.hpp"

namespace de30::service {

void AddStationRoutes(httplib::Server &Server, TApiContext &Context) {
  Server.Get(
      "/api/v1/station", Query([&Context](const httplib::Request &, httplib::Response &R) {
        TJson Station = StationJson(Context.Station.Config());
        Station["journal"] = JournalHealthJson(Context.Station.Journal().Health().State());
        SendJson(R, 200, Station);
      }));
  Server.Get("/api/v1/prices",
             StateQuery(Context, [&Context](const httplib::Request &, httplib::Response &R) {
               SendJson(R, 200, PricesJson(Context.Station.Prices()));
             }));
  Server.Put("/api/v1/prices",
             Command(Context, [&Context](const httplib::Request &Q, httplib::Response &R,
                                         const TCaller &) {
               Require(Context.Station.SetPrices(ParsePrices(Q.body)));
               SendJson(R, 200, PricesJson(Context.Station.Prices()));
             }));
  Server.Get("/api/v1/lines",
             StateQuery(Context, [&Context](const httplib::Request &, httplib::Response &R) {
               TJson Lines = TJson::array();
               for (const auto &Line : Context.Station.Lines())
                 Lines.push_back(LineJson(Line));
               SendJson(R, 200, Lines);
             }));
  Server.Post("/api/v1/stop-all",
              Command(Context, [&Context](const httplib::Request &Q, httplib::Response &R,
                                          const TCaller &) {
                ParseNoArguments(Q.body);
                const auto Result = Context.Station.StopAll();
                Require(Result);
                SendJson(R, 200, {{"stopped", true}, {"message", Result.Message}});
              }));
  Server.Get("/metrics", Query([&Context](const httplib::Request &, httplib::Response &R) {
               R.set_content(StationMetrics(Context.Station, Context.Options.Uplink),
                             ExpositionContentType);
             }));
}

} // namespace de30::service
