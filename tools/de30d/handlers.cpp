// The common shape of every route: JSON out, refusals as JSON errors, the token
// check of commands.

#include "log.hpp"
#include "routes.hpp"

#include <algorithm>

namespace de30::service {
namespace {

// Who asks a command; 401 without a known token where tokens are needed, 403
// for a client that only reads.
TCaller Identify(const TApiContext &Context, const httplib::Request &Request) {
  if (!Context.Clients.Guarded())
    return TCaller{};
  const auto Token = BearerToken(Request);
  if (!Token)
    throw EApiError(401, codes::Unauthorized,
                    "commands need \"Authorization: Bearer TOKEN\" (a client's token of the "
                    "configuration)");
  const auto Caller = Context.Clients.Find(*Token);
  if (!Caller)
    throw EApiError(401, codes::Unauthorized, "the bearer token is not one of the service's");
  if (Caller->Role == station::TClientRole::Viewer)
    throw EApiError(403, codes::Forbidden,
                    "client \"" + Caller->Name + "\" is a viewer: it only reads");
  return *Caller;
}

// The request's Idempotency-Key, if it has one: 1..128 visible ASCII characters.
std::optional<std::string> IdempotencyKey(const httplib::Request &Request) {
  if (!Request.has_header(IdempotencyHeader))
    return std::nullopt;
  const std::string Key = Request.get_header_value(IdempotencyHeader);
  const bool Visible =
      std::all_of(Key.begin(), Key.end(), [](char C) { return C > 0x20 && C < 0x7f; });
  if (Key.empty() || Key.size() > MaxIdempotencyKey || !Visible)
    throw EApiError(400, codes::BadIdempotencyKey,
                    std::string(IdempotencyHeader) + " must be 1.." +
                        std::to_string(MaxIdempotencyKey) + " visible ASCII characters");
  return Key;
}

void Guard(const THandler &Handler, const httplib::Request &Request,
           httplib::Response &Response) {
  try {
    Handler(Request, Response);
  } catch (const EApiError &Error) {
    SendError(Response, Error);
  } catch (const station::EJournalError &Error) {
    // The journal's condition is logged once by its watcher, not per request.
    const TStatusMapping &Row = MapStatus(station::TCommandResult::TStatus::Journal);
    SendError(Response, EApiError(Row.Http, Row.Code,
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

// Runs a command under its Idempotency-Key: a repeat gets the first answer and
// acts on nothing. An answer that says nothing was done (the journal or the
// service was not there) is not kept, so that a repeat tries again.
void RunOnce(TApiContext &Context, const httplib::Request &Request, httplib::Response &Response,
             const TCaller &Caller, const std::string &Key, const TCommandHandler &Handler) {
  station::TJournal &Journal = Context.Station.Journal();
  const std::string Fingerprint = Request.method + " " + Request.path + "\n" + Request.body;
  const auto Stored = Journal.BeginRequest(Caller.Name, Key, Fingerprint, IdempotencyKeepMs);
  using TState = station::TJournal::TStoredAnswer::TState;
  switch (Stored.State) {
  case TState::Answered:
    Response.status = Stored.Status;
    Response.set_content(Stored.Body, "application/json");
    Response.set_header(ReplayedHeader, "true");
    return;
  case TState::Running:
    throw EApiError(409, codes::RequestInProgress,
                    "a request with this " + std::string(IdempotencyHeader) +
                        " has not answered yet");
  case TState::Mismatch:
    throw EApiError(422, codes::IdempotencyKeyReused,
                    "this " + std::string(IdempotencyHeader) +
                        " was used for another request; use a new key for each request");
  case TState::New:
    break;
  }
  Guard([&](const httplib::Request &Q, httplib::Response &R) { Handler(Q, R, Caller); },
        Request, Response);
  const bool Undone = Response.status == 500 || Response.status == 503;
  try {
    if (Undone)
      Journal.ForgetRequest(Caller.Name, Key);
    else
      Journal.FinishRequest(Caller.Name, Key, Response.status, Response.body);
  } catch (const station::EJournalError &Error) {
    // The answer still goes out; a repeat is told the request is running until
    // the service restarts, and then that its outcome is unknown.
    Log(TLevel::Warn, "journal: the answer to " + std::string(IdempotencyHeader) + " " + Key +
                          " could not be kept: " + Error.what());
  }
}

httplib::Server::HandlerWithContentReader Command(TApiContext &Context,
                                                  TCommandHandler Handler) {
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
    std::string Who;
    Guard(
        [&](const httplib::Request &Q, httplib::Response &R) {
          const TCaller Caller = Identify(Context, Q);
          Who = Caller.Name;
          if (const auto Key = IdempotencyKey(Q))
            RunOnce(Context, Q, R, Caller, *Key, Handler);
          else
            Handler(Q, R, Caller);
        },
        Request, Response);
    const bool Ok = Response.status < 400;
    std::string Said;
    if (!Ok) {
      const TJson Body = TJson::parse(Response.body, nullptr, false);
      if (Body.is_object() && Body.contains("error") && Body["error"].is_string())
        Said = " " + Body["error"].get<std::string>();
    }
    Log(Ok ? TLevel::Info : TLevel::Warn,
        Request.method + " " + Request.path + " from " + Request.remote_addr +
            (Who.empty() ? "" : " (" + Who + ")") + ": " + std::to_string(Response.status) +
            Said + (Response.has_header(ReplayedHeader) ? " (repeated)" : ""));
  };
}

std::string ClientFor(const TCaller &Caller, const std::optional<std::string> &Asked) {
  if (!Caller.Named)
    return Asked.value_or("");
  if (Asked && *Asked != Caller.Name)
    throw EApiError(403, codes::ClientMismatch,
                    "the token is client \"" + Caller.Name + "\"'s; it cannot act as \"" +
                        *Asked + "\"");
  return Caller.Name;
}

std::string NamedClient(const TCaller &Caller, const std::optional<std::string> &Asked) {
  std::string Client = ClientFor(Caller, Asked);
  if (Client.empty())
    throw EApiError(400, codes::MissingField, "\"client\" is missing: the client's name");
  return Client;
}

void CheckForce(const TCaller &Caller, bool Force) {
  if (Force && Caller.Role != station::TClientRole::Admin)
    throw EApiError(403, codes::Forbidden,
                    "only an admin client may act on another client's lock or reservation");
}

void Require(const station::TCommandResult &Result) {
  if (!Result.Ok())
    throw Refusal(Result);
}

} // namespace de30::service
