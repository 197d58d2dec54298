// /api/v1/alarms: fuel that went out without a sale, newest first.

#include "routes.hpp"

#include <charconv>

namespace de30::service {
namespace {

constexpr int DefaultAlarms = 100;
constexpr int MaxAlarms = 10000;

// ?limit=N, 1..MaxAlarms; nothing else is asked.
int ParseAlarmLimit(const std::multimap<std::string, std::string> &Query) {
  int Limit = DefaultAlarms;
  for (const auto &[Name, Value] : Query) {
    if (Name != "limit")
      throw EApiError(400, codes::BadQuery, "unknown parameter \"" + Name + "\": limit");
    int Number = 0;
    const auto [End, Failed] =
        std::from_chars(Value.data(), Value.data() + Value.size(), Number);
    if (Value.empty() || Value.front() == '-' || Failed != std::errc() ||
        End != Value.data() + Value.size() || Number < 1 || Number > MaxAlarms)
      throw EApiError(400, codes::BadQuery,
                      "limit \"" + Value + "\": write 1.." + std::to_string(MaxAlarms));
    Limit = Number;
  }
  return Limit;
}

} // namespace

void AddAlarmRoutes(httplib::Server &Server, TApiContext &Context) {
  Server.Get("/api/v1/alarms",
             StateQuery(Context, [&Context](const httplib::Request &Q, httplib::Response &R) {
               const int Limit = ParseAlarmLimit(Q.params);
               TJson Alarms = TJson::array();
               for (const auto &Alarm : Context.Station.Journal().Alarms(Limit))
                 Alarms.push_back(AlarmJson(Alarm));
               SendJson(R, 200, Alarms);
             }));
}

} // namespace de30::service
