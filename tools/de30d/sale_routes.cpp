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
  // lock, clear and unlock: the same shape, each a journal step in the client's name.
  const auto Claim = [&Server, &Context](const std::string &Verb, auto Run,
                                         std::vector<std::string> Fields) {
    Server.Post("/api/v1/sales/([^/]+)/" + Verb,
                Command(Context, [&Context, Run, Fields = std::move(Fields)](
                                     const httplib::Request &Q, httplib::Response &R,
                                     const TCaller &Caller) {
                  const std::int64_t Id = ParseSaleId(Q.matches[1]);
                  const TClientRequest Request = ParseClientRequest(Q.body, Fields);
                  CheckForce(Caller, Request.Force);
                  const auto Result = Run(Context.Station, Id,
                                          NamedClient(Caller, Request.Client), Request.Force);
                  Require(Result);
                  SendJson(R, 200, Result.Sale ? SaleJson(*Result.Sale) : TJson{{"id", Id}});
                }));
  };
  Claim("lock",
        [](station::TStation &S, std::int64_t Id, const std::string &Client, bool) {
          return S.LockSale(Id, Client);
        },
        {});
  Claim("clear",
        [](station::TStation &S, std::int64_t Id, const std::string &Client, bool) {
          return S.ClearSale(Id, Client);
        },
        {});
  Claim("unlock",
        [](station::TStation &S, std::int64_t Id, const std::string &Client, bool Force) {
          return S.UnlockSale(Id, Client, Force);
        },
        {"force"});
}

} // namespace de30::service
