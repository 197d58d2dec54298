#include "event_stream.hpp"

#include "log.hpp"
#include "routes.hpp"

#include <chrono>
#include <memory>

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
};

bool Write(httplib::DataSink &Sink, TStream &Stream, const std::string &Text) {
  Stream.LastWrite = TClock::now();
  return Sink.write(Text.data(), Text.size());
}

void End(httplib::DataSink &Sink, TStream &Stream, const std::string &Why) {
  Write(Sink, Stream, SseComment(Why));
  Sink.done();
}

} // namespace

std::string SseFrame(const station::TEvent &Event) {
  // dump() escapes every control character, so the object stays on one data line.
  return "id: " + std::to_string(Event.Sequence) +
         "\nevent: " + station::EventKindName(Event.Kind) +
         "\ndata: " + EventJson(Event).dump() + "\n\n";
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
               Stream->Subscription = Context.Station.Events().Subscribe();
               Log(TLevel::Info, "event stream opened by " + Q.remote_addr);
               R.set_header("Cache-Control", "no-cache");
               R.set_chunked_content_provider(
                   "text/event-stream",
                   [&Context, Stream](std::size_t, httplib::DataSink &Sink) {
                     TStream &S = *Stream;
                     if (!S.Greeted) {
                       S.Greeted = true;
                       return Write(Sink, S, SseComment("de30d events"));
                     }
                     for (;;) {
                       if (Context.Stopping) {
                         End(Sink, S, "the service is stopping");
                         return true;
                       }
                       station::TEvent Event;
                       const auto Asked = TClock::now();
                       if (S.Subscription->Next(Event, WaitSliceMs))
                         return Write(Sink, S, SseFrame(Event));
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
