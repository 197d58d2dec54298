#include "event_stream.hpp"

#include "log.hpp"
#include "routes.hpp"

#include <charconv>
#include <chrono>
#include <limits>
#include <memory>
#include <optional>

namespace de30::service {
namespace {

using TClock = std::chrono::steady_clock;

// How long a stream waits for an event before it looks at the service's state
// again: the bound on how late a stopping service ends its streams.
constexpr int WaitSliceMs = 200;

struct TStream {
  std::shared_ptr<station::TEventBus::TSubscription> Subscription;
  TClock::time_point LastWrite = TClock::now();
  bool Greeted = false;
  std::string Reset; // the reset frame to send after the greeting, if any
};

std::optional<std::uint64_t> Number(std::string_view Text) {
  std::uint64_t Value = 0;
  const auto [End, Failed] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  if (Text.empty() || Failed != std::errc() || End != Text.data() + Text.size())
    return std::nullopt;
  return Value;
}

bool Write(httplib::DataSink &Sink, TStream &Stream, const std::string &Text) {
  Stream.LastWrite = TClock::now();
  return Sink.write(Text.data(), Text.size());
}

void End(httplib::DataSink &Sink, TStream &Stream, const std::string &Why) {
  Write(Sink, Stream, SseComment(Why));
  Sink.done();
}

std::string ResetReason(const std::string &Last, const std::optional<TEventId> &Id, bool Ours,
                        std::uint64_t Published) {
  if (!Id)
    return "event id " + Last + " is not of this service's form RUN-SEQUENCE";
  if (!Ours)
    return "event " + Last + " is from another run of the service";
  if (Id->Sequence > Published)
    return "event " + Last + " has not been published";
  return "the events after " + Last + " are no longer kept";
}

} // namespace

std::string SseFrame(const std::string &Id, const station::TEvent &Event) {
  // dump() escapes every control character, so the object stays on one data line.
  return "id: " + Id + "\nevent: " + station::EventKindName(Event.Kind) +
         "\ndata: " + EventJson(Event).dump() + "\n\n";
}

std::string SseReset(const std::string &Id, const std::string &Reason) {
  return "id: " + Id + "\nevent: reset\ndata: " + TJson({{"reason", Reason}}).dump() + "\n\n";
}

std::optional<TEventId> ParseEventId(std::string_view Text) {
  const auto Dash = Text.find('-');
  if (Dash == std::string_view::npos)
    return std::nullopt;
  const auto Run = Number(Text.substr(0, Dash));
  const auto Sequence = Number(Text.substr(Dash + 1));
  if (!Run || !Sequence)
    return std::nullopt;
  return TEventId{*Run, *Sequence};
}

std::string SseComment(const std::string &Text) { return ": " + Text + "\n\n"; }

void AddEventStream(httplib::Server &Server, TApiContext &Context) {
  Server.Get("/api/v1/events",
             Query([&Context](const httplib::Request &Q, httplib::Response &R) {
               if (Context.Stopping)
                 throw Refusal(station::TCommandResult::Fail(
                     station::TCommandResult::TStatus::Stopping, "the service is stopping"));
               if (++Context.Streams > Context.Options.MaxStreams) {
                 --Context.Streams;
                 throw EApiError(503, codes::TooManyStreams,
                                 "at most " + std::to_string(Context.Options.MaxStreams) +
                                     " event streams at once");
               }
               auto Stream = std::make_shared<TStream>();
               // Subscribed here, so that nothing published after the request is missed.
               station::TEventBus &Bus = Context.Station.Events();
               // A browser resumes with the header by itself; a page that opens a
               // new stream cannot set it, and names the id in the query instead.
               std::string Last = Q.get_header_value("Last-Event-ID");
               if (Last.empty())
                 Last = Q.get_param_value("last_event_id");
               if (Last.empty()) {
                 Stream->Subscription = Bus.Subscribe();
                 Log(TLevel::Info, "event stream opened by " + Q.remote_addr);
               } else {
                 // A reconnecting client: it gets what it missed, or, when that is
                 // gone or was never ours, a reset that makes it read the state again.
                 const auto Id = ParseEventId(Last);
                 const bool Ours = Id && Id->Run == Bus.Run();
                 auto Resumed = Bus.SubscribeAfter(
                     Ours ? Id->Sequence : std::numeric_limits<std::uint64_t>::max());
                 Stream->Subscription = std::move(Resumed.Subscription);
                 if (!Resumed.Complete)
                   Stream->Reset = SseReset(Bus.EventId(Resumed.Sequence),
                                            ResetReason(Last, Id, Ours, Resumed.Sequence));
                 Log(TLevel::Info,
                     "event stream resumed after " + Last + " by " + Q.remote_addr +
                         (Resumed.Complete ? "" : ": reset, the client reads the state again"));
               }
               R.set_header("Cache-Control", "no-cache");
               R.set_chunked_content_provider(
                   "text/event-stream",
                   [&Context, Stream](std::size_t, httplib::DataSink &Sink) {
                     TStream &S = *Stream;
                     if (!S.Greeted) {
                       S.Greeted = true;
                       return Write(Sink, S, SseComment("de30d events") + S.Reset);
                     }
                     for (;;) {
                       if (Context.Stopping) {
                         End(Sink, S, "the service is stopping");
                         return true;
                       }
                       station::TEvent Event;
                       const auto Asked = TClock::now();
                       if (S.Subscription->Next(Event, WaitSliceMs))
                         return Write(
                             Sink, S,
                             SseFrame(Context.Station.Events().EventId(Event.Sequence), Event));
                       if (S.Subscription->Overflowed()) {
                         End(Sink, S, "dropped: this client fell behind; reconnect");
                         return true;
                       }
                       // Next returns at once, without an event, only once the bus has closed.
                       if (TClock::now() - Asked < std::chrono::milliseconds(WaitSliceMs / 2)) {
                         End(Sink, S, "the station has stopped");
                         return true;
                       }
                       if (TClock::now() - S.LastWrite >= Context.Options.Heartbeat)
                         return Write(Sink, S, SseComment("heartbeat"));
                     }
                   },
                   [&Context, Remote = Q.remote_addr](bool) {
                     --Context.Streams;
                     Log(TLevel::Info, "event stream closed for " + Remote);
                   });
             }));
}

} // namespace de30::service
