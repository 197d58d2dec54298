#include "service_client.hpp"

#include "exit_codes.hpp"
#include "names.hpp"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>

namespace de30::ctl {
namespace {

using TJson = nlohmann::json;

bool ServiceOnly(const std::string &Command) {
  return Command == "status" || Command == "sales" || Command == "lock" || Command == "clear";
}

// The service's refusal as de30ctl's exit code: an unknown pump, grade or sale
// is unknown, another request the service could not take a bad command line,
// everything else (a pump that refused, a line that failed, a wrong state) a
// failure.
TExitCode ExitFor(int Status, const std::string &Error) {
  if (Status == 404 || Error == "unknown_pump" || Error == "unknown_grade" ||
      Error == "unknown_sale")
    return ExitUnknown;
  if (Status == 400 || Status == 401 || Status == 413)
    return ExitUsage;
  return ExitPumpFailed;
}

// A refusal with the service's error code, for the commands that say more about it.
class ERefused : public ECtlError {
public:
  ERefused(int HttpStatus, const std::string &ErrorCode, const std::string &Message)
      : ECtlError(ExitFor(HttpStatus, ErrorCode), Message), Error(ErrorCode) {}
  std::string Error;
};

class TService {
public:
  explicit TService(const TServiceArguments &A)
      : Url(CheckedUrl(A.Url)), Token(A.Token), Http(Url) {
    if (!Http.is_valid())
      throw ECtlError(ExitUsage, "--service '" + Url + "': write http://HOST:PORT");
    Http.set_connection_timeout(std::chrono::seconds(3));
    // A command waits for its turn on the line and for the pump's reply.
    Http.set_read_timeout(std::chrono::seconds(30));
  }

  const std::string &Address() const { return Url; }

  TJson Get(const std::string &Path, const httplib::Params &Query = {}) {
    return Check(Http.Get(("/api/v1" + Path).c_str(), Query, httplib::Headers{}), Path);
  }
  TJson Post(const std::string &Path, const TJson &Body) {
    return Check(
        Http.Post(("/api/v1" + Path).c_str(), Headers(), Body.dump(), "application/json"),
        Path);
  }
  TJson Put(const std::string &Path, const TJson &Body) {
    return Check(
        Http.Put(("/api/v1" + Path).c_str(), Headers(), Body.dump(), "application/json"), Path);
  }

private:
  static std::string CheckedUrl(const std::string &Url) {
    if (Url.rfind("http://", 0) != 0 && Url.rfind("https://", 0) != 0)
      throw ECtlError(ExitUsage, "--service '" + Url + "': write http://HOST:PORT");
    return Url;
  }

  httplib::Headers Headers() const {
    if (Token.empty())
      return {};
    return {{"Authorization", "Bearer " + Token}};
  }

  TJson Check(const httplib::Result &Result, const std::string &Path) {
    if (!Result)
      throw ECtlError(ExitCannotOpen, "cannot reach the service at " + Url + " (" +
                                          httplib::to_string(Result.error()) + " error)");
    TJson Body = TJson::parse(Result->body, nullptr, false);
    if (Result->status >= 200 && Result->status < 300 && !Body.is_discarded())
      return Body;
    std::string Said = "HTTP " + std::to_string(Result->status);
    std::string Error;
    if (Body.is_object() && Body.contains("error") && Body["error"].is_string()) {
      Error = Body["error"].get<std::string>();
      Said = Error + ": " + Body.value("message", "");
    }
    throw ERefused(Result->status, Error, "the service refused " + Path + ": " + Said);
  }

  std::string Url;
  std::string Token;
  httplib::Client Http;
};

std::string Text(const TJson &Value) {
  if (Value.is_null())
    return "-";
  if (Value.is_string())
    return Value.get<std::string>();
  if (Value.is_number_float())
    return Money(Value.get<double>());
  return Value.dump();
}

void PrintPump(const TJson &P) {
  std::printf("pump %s: %s", Text(P["id"]).c_str(), Text(P["state"]).c_str());
  if (P.value("nozzle", 0) != 0)
    std::printf(", nozzle %d grade %d", P.value("nozzle", 0), P.value("grade", 0));
  std::printf(", %s l, %s", Money(P.value("volume", 0.0)).c_str(),
              Money(P.value("amount", 0.0)).c_str());
  std::printf(", prices %s", Text(P["price_state"]).c_str());
  if (P.contains("sale") && !P["sale"].is_null())
    std::printf(", sale %s", Text(P["sale"]).c_str());
  std::printf("\n");
}

void PrintSale(const TJson &S) {
  std::printf("sale %s: pump %s %s, %s l, %s at %s (nozzle %s, grade %s)",
              Text(S["id"]).c_str(), Text(S["pump"]).c_str(), Text(S["state"]).c_str(),
              Money(S.value("volume", 0.0)).c_str(), Money(S.value("amount", 0.0)).c_str(),
              Money(S.value("price", 0.0)).c_str(), Text(S["nozzle"]).c_str(),
              Text(S["grade"]).c_str());
  if (!S["locked_by"].is_null())
    std::printf(", by %s", Text(S["locked_by"]).c_str());
  std::printf(", started %s", Text(S["started"]).c_str());
  for (const auto &Flag : S["flags"])
    std::printf(" [%s]", Text(Flag).c_str());
  std::printf("\n");
}

std::string PumpId(const std::string &Text) {
  const TPumpRef Ref = ParsePumpRef(Text);
  return std::to_string(Ref.Line) + ":" + std::to_string(Ref.Pump);
}

std::string PumpPath(const std::string &Text) { return "/pumps/" + PumpId(Text); }

// Runs a request on a pump; a pump the service does not have ends with
// ExitUnknown, naming the pumps it has.
template <class TRequest>
TJson OnPump(TService &Service, const std::string &Pump, TRequest Request) {
  try {
    return Request();
  } catch (const ERefused &Refused) {
    if (Refused.Error != "unknown_pump")
      throw;
    std::string Message = "pump " + PumpId(Pump) + ": the service at " + Service.Address() +
                          " has no such pump (unknown_pump)";
    try {
      std::string Known;
      for (const auto &Each : Service.Get("/pumps"))
        Known += (Known.empty() ? "" : ", ") + Text(Each["id"]);
      Message += Known.empty() ? "; it has none" : "; it has " + Known;
    } catch (const ECtlError &) {
      // The list is a courtesy: the refusal stands without it.
    }
    throw ECtlError(ExitUnknown, Message);
  }
}

std::string SalePath(const std::string &Text) {
  return "/sales/" + std::to_string(ParseWhole(Text, "sale id", 1, 2147483647, ExitUsage));
}

} // namespace

void AddServiceOptions(CLI::App &App, TServiceArguments &A) {
  A.Given =
      App.add_option("--service", A.Url,
                     std::string("send the command to a running de30d (default address ") +
                         DefaultServiceUrl + ")")
          ->expected(0, 1)
          ->type_name("[URL]");
  App.add_option("--token", A.Token,
                 "the service's bearer token for commands (default: $DE30_TOKEN)");
  if (auto *Start = App.get_subcommand("start")) {
    Start->add_option("--litres", A.Litres, "with --service: preset a dose in litres");
    Start->add_option("--money", A.Money, "with --service: preset a dose in money");
    Start->add_option("--grade", A.Grade,
                      "with --service: the station grade of a money preset");
  }
  auto *Status = App.add_subcommand("status", "with --service: every pump, or one, as the "
                                              "service sees it");
  Status->add_option("pump", A.Pump, "the pump, as LINE:PUMP");
  auto *Sales =
      App.add_subcommand("sales", "with --service: the journal's sales, newest first");
  Sales->add_option("--state", A.State, "open, payable, locked or cleared");
  Sales->add_option("--from", A.From, "started at or after (ISO 8601 UTC)");
  Sales->add_option("--to", A.To, "started before (ISO 8601 UTC)");
  Sales->add_option("--limit", A.Limit, "at most this many (default 20)")
      ->check(CLI::Range(1, 10000));
  for (const char *Verb : {"lock", "clear"}) {
    auto *Claim = App.add_subcommand(Verb, std::string("with --service: ") + Verb +
                                               " a sale for a paying client");
    Claim->add_option("sale", A.Sale, "the sale's id")->required();
    Claim->add_option("--client", A.Client, "the client's name")->required();
  }
}

bool ForService(const TServiceArguments &A, const std::string &Command) {
  const bool Given = A.Given != nullptr && A.Given->count() > 0;
  if (!Given && ServiceOnly(Command))
    throw ECtlError(ExitUsage, Command + " works through the service: add --service [URL]");
  if (!Given && (!A.Litres.empty() || !A.Money.empty() || !A.Grade.empty()))
    throw ECtlError(ExitUsage, "start presets a dose through the service only (--service); "
                               "on a line, use dose, then start");
  return Given;
}

int RunServiceCommand(TServiceArguments &A, const std::string &Command, const TCtlValues &V) {
  if (A.Url.empty())
    A.Url = DefaultServiceUrl;
  while (!A.Url.empty() && A.Url.back() == '/')
    A.Url.pop_back();
  if (A.Token.empty())
    if (const char *Env = std::getenv("DE30_TOKEN"))
      A.Token = Env;
  TService Service(A);

  if (Command == "poll" || (Command == "status" && !A.Pump.empty())) {
    const std::string &Pump = Command == "poll" ? V.Pump : A.Pump;
    PrintPump(OnPump(Service, Pump, [&] { return Service.Get(PumpPath(Pump)); }));
  } else if (Command == "status") {
    for (const auto &Pump : Service.Get("/pumps"))
      PrintPump(Pump);
  } else if (Command == "start") {
    TJson Body = TJson::object();
    if (!A.Litres.empty() && !A.Money.empty())
      throw ECtlError(ExitUsage, "preset the dose either in --litres or in --money");
    if (!A.Litres.empty())
      Body["litres"] = ParseNumber(A.Litres, "litres");
    if (!A.Money.empty())
      Body["money"] = ParseNumber(A.Money, "money");
    if (!A.Grade.empty())
      Body["grade"] = ParseWhole(A.Grade, "grade", 1, 99, ExitUnknown);
    PrintPump(OnPump(Service, V.Pump,
                     [&] { return Service.Post(PumpPath(V.Pump) + "/authorize", Body); }));
  } else if (Command == "stop") {
    PrintPump(OnPump(Service, V.Pump, [&] {
      return Service.Post(PumpPath(V.Pump) + "/stop", TJson::object());
    }));
  } else if (Command == "unblock") {
    const int Code = ParseWhole(V.Code, "unblock code", 0, 255, ExitUsage);
    PrintPump(OnPump(Service, V.Pump, [&] {
      return Service.Post(PumpPath(V.Pump) + "/unblock", {{"code", Code}});
    }));
  } else if (Command == "price") {
    // The service prices grades for the whole station and sends each pump its own.
    TJson Changes = TJson::object();
    const bool Single = V.Prices.size() == 2 && V.Prices[0].find('=') == std::string::npos &&
                        V.Prices[1].find('=') == std::string::npos;
    for (std::size_t I = 0; I < V.Prices.size(); I += Single ? 2 : 1) {
      std::string Grade = V.Prices[I];
      std::string Value = Single ? V.Prices[I + 1] : "";
      if (!Single) {
        const auto Equals = Grade.find('=');
        if (Equals == std::string::npos)
          throw ECtlError(ExitUsage, "'" + Grade + "' is not GRADE=PRICE, e.g. 1=45.50");
        Value = Grade.substr(Equals + 1);
        Grade.resize(Equals);
      }
      const int Number = ParseWhole(Grade, "grade", 1, 99, ExitUnknown);
      if (Changes.contains(std::to_string(Number)))
        throw ECtlError(ExitUsage, "grade " + Grade + " is given twice");
      Changes[std::to_string(Number)] = ParseNumber(Value, "price");
    }
    // The prices are the station's, but a pump named is one the service must have.
    OnPump(Service, V.Pump, [&] { return Service.Get(PumpPath(V.Pump)); });
    const TJson Prices = Service.Put("/prices", Changes);
    for (const auto &Item : Prices.items())
      std::printf("grade %s: %s\n", Item.key().c_str(), Text(Item.value()).c_str());
  } else if (Command == "sales") {
    httplib::Params Query{{"limit", std::to_string(A.Limit)}};
    if (!A.State.empty())
      Query.emplace("state", A.State);
    if (!A.From.empty())
      Query.emplace("from", A.From);
    if (!A.To.empty())
      Query.emplace("to", A.To);
    const TJson Sales = Service.Get("/sales", Query);
    for (const auto &Sale : Sales)
      PrintSale(Sale);
    if (Sales.empty())
      std::printf("no sales\n");
  } else if (Command == "lock" || Command == "clear") {
    PrintSale(Service.Post(SalePath(A.Sale) + "/" + Command, {{"client", A.Client}}));
  } else {
    throw ECtlError(ExitUsage, Command + " is not available through the service: it talks "
                                         "to a line directly");
  }
  return ExitOk;
}

} // namespace de30::ctl
