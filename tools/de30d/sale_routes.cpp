// /api/v1/sales: the journal's sales and their way through payment.

#include "requests.hpp"
#include "routes.hpp"

namespace de30::service {

void AddSaleRoutes(httplib::Server &Server, TApiContext &Context) {
  Server.Get("/api/v1/sales",
             StateQuery(Context, [&Context](const httplib::Request &Q, httplib::Response &R) {
               const station::TSaleFilter Filter = ParseSaleFilter(Q.params);
               TJson Sales = TJson::array();
               for (const auto &Sale : Context.Station.Journal().Sales(Filter))
                 Sales.push_back(SaleJson(Sale));
               SendJson(R, 200, Sales);
             }));
  Server.Get("/api/v1/sales/([^/]+)",
             StateQuery(Context, [&Context](const httplib::Request &Q, httplib::Response &R) {
               const std::int64_t Id = ParseSaleId(Q.matches[1]);
               const auto Sale = Context.Station.Journal().Sale(Id);
               if (!Sale) {
                 const TStatusMapping &Row =
                     MapStatus(station::TCommandResult::TStatus::UnknownSale);
                 throw EApiError(Row.Http, Row.Code, "no sale " + std::to_string(Id));
               }
               SendJson(R, 200, SaleJson(*Sale));
             }));
  Server.Post("/api/v1/sales/([^/]+)/lock",
              Command(Context, [&Context](const httplib::Request &Q, httplib::Response &R) {
                const std::int64_t Id = ParseSaleId(Q.matches[1]);
                const auto Result = Context.Station.LockSale(Id, ParseClient(Q.body));
                Require(Result);
                SendJson(R, 200, Result.Sale ? SaleJson(*Result.Sale) : TJson{{"id", Id}});
              }));
  Server.Post("/api/v1/sales/([^/]+)/clear",
              Command(Context, [&Context](const httplib::Request &Q, httplib::Response &R) {
                const std::int64_t Id = ParseSaleId(Q.matches[1]);
                const auto Result = Context.Station.ClearSale(Id, ParseClient(Q.body));
                Require(Result);
                SendJson(R, 200, Result.Sale ? SaleJson(*Result.Sale) : TJson{{"id", Id}});
              }));
}

} // namespace de30::service
