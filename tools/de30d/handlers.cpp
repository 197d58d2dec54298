// The common shape of every route: JSON out, refusals as JSON errors, the token
// check of commands.

#include "log.hpp"
#include "routes.hpp"

namespace de30::service {
namespace {

// Compares without stopping at the first difference, so the time taken does not
// tell how much of a guessed token was right.
bool SameToken(const std::string &Given, const std::string &Expected) {
  if (Expected.empty())
    return Given.empty();
  unsigned char Difference = Given.size() == Expected.size() ? 0 : 1;
  for (std::size_t I = 0; I < Given.size(); ++I)
    Difference |= static_cast<unsigned char>(Given[I] ^ Expected[I % Expected.size()]);
  return Difference == 0;
}

void CheckToken(const TApiContext &Context, const httplib::Request &Request) {
  const std::string &Token = Context.Options.Token;
  if (Token.empty())
    return;
  const std::string Header = Request.get_header_value("Authorization");
  const std::string Scheme = "Bearer ";
  if (Header.rfind(Scheme, 0) != 0)
    throw EApiError(401, codes::Unauthorized,
                    "commands need \"Authorization: Bearer TOKEN\" (the token of the "
                    "configuration)");
  if (!SameToken(Header.substr(Scheme.size()), Token))
    throw EApiError(401, codes::Unauthorized, "the bearer token is not the service's");
}

void Guard(const THandler &Handler, const httplib::Request &Request,
           httplib::Response &Response) {
  try {
    Handler(Request, Response);
  } catch (const EApiError &Error) {
    SendError(Response, Error);
  } catch (const station::EJournalError &Error) {
    Log(TLevel::Error, std::string("journal: ") + Error.what());
    SendError(Response,
              EApiError(500, MapStatus(station::TCommandResult::TStatus::Journal).Code,
                        std::string("the journal failed: ") + Error.what()));
  } catch (const std::exception &Error) {
    Log(TLevel::Error, Request.method + " " + Request.path + ": " + Error.what());
    SendError(Response, EApiError(500, codes::Internal, Error.what()));
  }
}

} // namespace

void SendJson(httplib::Response &Response, int Status, const TJson &Body) {
  Response.status = Status;
  Response.set_content(Body.dump() + "\n", "application/json");
}

void SendError(httplib::Response &Response, const EApiError &Error) {
  if (Error.Status == 401)
    Response.set_header("WWW-Authenticate", "Bearer realm=\"de30d\"");
  SendJson(Response, Error.Status, ErrorJson(Error.Code, Error.what()));
}

httplib::Server::Handler Query(THandler Handler) {
  return [Handler = std::move(Handler)](const httplib::Request &Request,
                                        httplib::Response &Response) {
    Guard(Handler, Request, Response);
  };
}

httplib::Server::Handler StateQuery(TApiContext &Context, THandler Handler) {
  return [&Context, Handler = std::move(Handler)](const httplib::Request &Request,
                                                  httplib::Response &Response) {
    // Read before the state: each event is published after the state it reports
    // was stored, so every event up to this id is in what the handler reads.
    const std::uint64_t Published = Context.Station.Events().Published();
    Guard(Handler, Request, Response);
    // In the form of the stream's ids, so that a client compares like with like
    // and can resume the stream from it.
    Response.set_header(EventIdHeader, Context.Station.Events().EventId(Published));
  };
}

httplib::Server::HandlerWithContentReader Command(TApiContext &Context, THandler Handler) {
  return [&Context, Handler = std::move(Handler)](const httplib::Request &Sent,
                                                  httplib::Response &Response,
                                                  const httplib::ContentReader &Reader) {
    httplib::Request Request = Sent;
    if (Sent.has_header("Content-Length") || Sent.has_header("Transfer-Encoding")) {
      const bool Read = Reader([&Request](const char *Data, std::size_t Size) {
        Request.body.append(Data, Size);
        return true;
      });
      // httplib has set the status: 413 beyond the payload limit, 400 otherwise.
      if (!Read) {
        SendError(Response,
                  Response.status == 413
                      ? EApiError(413, codes::PayloadTooLarge,
                                  "the body exceeds " +
                                      std::to_string(Context.Options.MaxBodyBytes) + " bytes")
                      : EApiError(400, codes::MalformedJson, "the body could not be read"));
        return;
      }
    }
    Guard(
        [&](const httplib::Request &Q, httplib::Response &R) {
          CheckToken(Context, Q);
          Handler(Q, R);
        },
        Request, Response);
    const bool Ok = Response.status < 400;
    std::string Said;
    if (!Ok) {
      const TJson Body = TJson::parse(Response.body, nullptr, false);
      if (Body.is_object() && Body.contains("error") && Body["error"].is_string())
        Said = " " + Body["error"].get<std::string>();
    }
    Log(Ok ? TLevel::Info : TLevel::Warn, Request.method + " " + Request.path + " from " +
                                              Request.remote_addr + ": " +
                                              std::to_string(Response.status) + Said);
  };
}

void Require(const station::TCommandResult &Result) {
  if (!Result.Ok())
    throw Refusal(Result);
}

} // namespace de30::service
