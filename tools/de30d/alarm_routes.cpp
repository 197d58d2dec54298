// /api/v1/alarms: fuel that went out without a sale, newest first.

#include "requests.hpp"
#include "routes.hpp"

namespace de30::service {
namespace {

constexpr int DefaultAlarms = 100;
constexpr int MaxAlarms = 10000;

} // namespace

void AddAlarmRoutes(httplib::Server &Server, TApiContext &Context) {
  Server.Get("/api/v1/alarms",
             StateQuery(Context, [&Context](const httplib::Request &Q, httplib::Response &R) {
               const int Limit = ParseLimit(Q.params, DefaultAlarms, MaxAlarms);
               TJson Alarms = TJson::array();
               for (const auto &Alarm : Context.Station.Journal().Alarms(Limit))
                 Alarms.push_back(AlarmJson(Alarm));
               SendJson(R, 200, Alarms);
             }));
}

} // namespace de30::service
