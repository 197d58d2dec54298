// A tap line's thread: it listens to a line another controller drives and has
// the line's pumps follow what it hears. The device is opened read-only and a
// serial device server's socket is only ever read, so nothing de30d does can
// put a byte on the line.

#include "capture/observation.hpp"
#include "capture/tap_splitter.hpp"
#include "channels/listening_socket.hpp"
#include "de30/constants.hpp"
#include "station/line_worker.hpp"
#include "station/observed_pump.hpp"

#include <chrono>

namespace de30::station {

namespace {

constexpr auto ReadWait = std::chrono::milliseconds(20);
constexpr auto ConnectWait = std::chrono::milliseconds(5000);

// The line, read only: a serial port or a serial device server's socket.
class TListened {
public:
  bool Open(const TLineConfig &Line, std::string &Reason) {
    if (!Line.Serial.empty()) {
      Port = channels::TListeningPort::Open(Line.Serial, LineBaudRate, Reason);
      return Port != nullptr;
    }
    Socket =
        channels::TListeningSocket::Connect(Line.TcpHost, Line.TcpPort, ConnectWait, Reason);
    if (!Socket)
      Reason = "tcp " + Line.TcpHost + ":" + std::to_string(Line.TcpPort) + ": " + Reason;
    return Socket != nullptr;
  }
  channels::TListeningPort::TRead Read(std::uint8_t *Dest, std::size_t Count) {
    return Port ? Port->Read(Dest, Count, ReadWait) : Socket->Read(Dest, Count, ReadWait);
  }
  std::optional<channels::TSerialCounters> Counters() const {
    return Port ? Port->Counters() : std::nullopt;
  }

private:
  std::unique_ptr<channels::TListeningPort> Port;
  std::unique_ptr<channels::TListeningSocket> Socket;
};

} // namespace

void TLineWorker::RunTap() {
  const auto StopAsked = [this] {
    std::lock_guard<std::mutex> Lock(Guard);
    return Stopping;
  };
  while (!StopAsked()) {
    TListened Line;
    std::string Failure;
    if (!Line.Open(Setup, Failure)) {
      {
        std::lock_guard<std::mutex> Lock(Guard);
        HealthView.LastError = "cannot open the line: " + Failure;
        HealthView.LastErrorMs = NowEpochMs();
      }
      PublishHealth();
      std::unique_lock<std::mutex> Lock(Guard);
      Wake.wait_for(Lock, std::chrono::seconds(1), [this] { return Stopping; });
      continue;
    }
    const auto Opened = Line.Counters();
    capture::TTapOptions Split;
    Split.BaudRate = LineBaudRate;
    Split.Gap = Setup.TapGap;
    capture::TTapSplitter Splitter(Split);
    capture::TExchangeDecoder Decoder;
    std::uint8_t Buffer[256];
    bool Closed = false;
    while (!Closed && !StopAsked()) {
      const auto Got = Line.Read(Buffer, sizeof Buffer);
      const auto At = capture::TClock::now();
      {
        std::lock_guard<std::mutex> Lock(Guard);
        HealthView.Heard.Bytes += Got.Count;
      }
      TakeHeard(Got.Count > 0 ? Splitter.Feed(At, Buffer, Got.Count) : Splitter.Quiet(At),
                Decoder);
      Closed = Got.Closed;
      for (auto &Pump : Observed)
        Pump->Retry();
      if (NowMs() - LastHealthMs >= HealthEventMs) {
        NoteLineErrors(Opened, Line.Counters());
        PublishTapHealth();
      }
    }
    TakeHeard(Splitter.Finish(), Decoder);
    if (Closed) {
      {
        std::lock_guard<std::mutex> Lock(Guard);
        HealthView.LastError = "the line closed while it was listened to";
        HealthView.LastErrorMs = NowEpochMs();
      }
      PublishHealth();
    }
  }
}

void TLineWorker::TakeHeard(const std::vector<capture::THeard> &Pieces,
                            capture::TExchangeDecoder &Decoder) {
  for (const capture::THeard &Piece : Pieces) {
    {
      std::lock_guard<std::mutex> Lock(Guard);
      if (Piece.Kind == capture::THeardKind::Exchange) {
        ++HealthView.Polls;
        if (Piece.Result() != 0) {
          ++HealthView.Timeouts;
          ++HealthView.ErrorsByNumber[Piece.Result()];
        } else if (Piece.Outcome() == capture::TOutcome::Rejected) {
          ++HealthView.Rejected;
        }
      } else if (Piece.Kind == capture::THeardKind::StrayReply) {
        ++HealthView.Heard.StrayReplies;
        HealthView.Heard.StrayBytes += Piece.Reply.size();
      } else {
        ++HealthView.Heard.GarbagePieces;
        HealthView.Heard.GarbageBytes += Piece.Reply.size();
      }
    }
    if (Piece.Kind == capture::THeardKind::Exchange)
      Recent.Add(capture::SampleOf(Piece.Record(Number)));
    for (const capture::TObservation &Seen : Decoder.Decode(Number, Piece)) {
      for (auto &Pump : Observed) {
        if (Pump->Address() == Seen.Pump)
          Pump->Observe(Seen);
        else
          Pump->Elsewhere();
      }
    }
  }
}

void TLineWorker::PublishTapHealth() {
  RecentFigures = Recent.Figures(capture::TClock::now());
  {
    std::lock_guard<std::mutex> Lock(Guard);
    HealthView.Line = Number;
    HealthView.Tap = true;
    ShowRecentFigures();
    HealthView.LineErrors = LineErrors;
  }
  LastHealthMs = NowMs();
  PublishHealth();
}

} // namespace de30::station
