#include "tap.hpp"

#include "capture/raw_recording.hpp"
#include "capture/tap_splitter.hpp"
#include "capture/writer.hpp"
#include "channels/listening_socket.hpp"
#include "channels/serial_channel.hpp"
#include "exit_codes.hpp"
#include "names.hpp"
#include "protocol/vocabulary.hpp"
#include "tap_codes.hpp"
#include "trace.hpp"

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>

namespace de30::ctl {
namespace {

using capture::TClock;
using capture::THeard;
using capture::THeardKind;
using channels::TListeningPort;
using channels::TSerialCounters;

constexpr auto ReadWait = std::chrono::milliseconds(50);
constexpr auto CountersEvery = std::chrono::seconds(1);
constexpr auto ConnectWait = std::chrono::milliseconds(5000);

// A line heard live. Nothing here writes: the serial port is opened read-only and
// the socket is only ever read.
class TLiveLine {
public:
  virtual ~TLiveLine() = default;
  virtual TListeningPort::TRead Read(std::uint8_t *Dest, std::size_t Count,
                                     std::chrono::milliseconds Timeout) = 0;
  virtual std::optional<TSerialCounters> Counters() { return std::nullopt; }
};

class TSerialLine final : public TLiveLine {
public:
  explicit TSerialLine(std::unique_ptr<TListeningPort> Opened) : Port(std::move(Opened)) {}
  TListeningPort::TRead Read(std::uint8_t *Dest, std::size_t Count,
                             std::chrono::milliseconds Timeout) override {
    return Port->Read(Dest, Count, Timeout);
  }
  std::optional<TSerialCounters> Counters() override { return Port->Counters(); }

private:
  std::unique_ptr<TListeningPort> Port;
};

// A serial device server in monitor mode: it sends what the line carries.
class TTcpLine final : public TLiveLine {
public:
  explicit TTcpLine(std::unique_ptr<channels::TListeningSocket> Opened)
      : Socket(std::move(Opened)) {}
  TListeningPort::TRead Read(std::uint8_t *Dest, std::size_t Count,
                             std::chrono::milliseconds Timeout) override {
    return Socket->Read(Dest, Count, Timeout);
  }

private:
  std::unique_ptr<channels::TListeningSocket> Socket;
};

std::unique_ptr<TLiveLine> ConnectTcp(const std::string &Address) {
  const auto Colon = Address.rfind(':');
  if (Colon == std::string::npos || Colon == 0)
    throw ECtlError(ExitUsage, "--tcp '" + Address + "': write HOST:PORT");
  const std::string Host = Address.substr(0, Colon);
  const int Port = ParseWhole(Address.substr(Colon + 1), "port", 1, 65535, ExitUsage);
  std::string Why;
  auto Socket = channels::TListeningSocket::Connect(Host, static_cast<std::uint16_t>(Port),
                                                    ConnectWait, Why);
  if (!Socket)
    throw ECtlError(ExitCannotOpen, Address + ": " + Why);
  return std::make_unique<TTcpLine>(std::move(Socket));
}

capture::TLineErrors ErrorsOf(const TSerialCounters &C) {
  return {C.Framing, C.Parity, C.Overrun, C.Break};
}

std::string Plural(std::uint64_t N, const char *One, const char *Many) {
  return std::to_string(N) + " " + (N == 1 ? One : Many);
}

// One tap from its first byte to its summary.
class TTap {
public:
  TTap(const TTapOptions &Given, int BaudRate, const std::string &Where)
      : Options(Given), Splitter(SplitterOptions(Given, BaudRate)) {
    if (!Options.Capture.empty()) {
      capture::TCaptureOptions C{Options.Capture, 0, 1, "de30ctl " DE30_VERSION " tap"};
      C.Listened = true;
      try {
        Capture = std::make_unique<capture::TCaptureWriter>(C);
      } catch (const capture::ECaptureError &Error) {
        throw ECtlError(ExitCannotOpen, Error.what());
      }
      Capture->DescribeLine(Options.Line, Where);
    }
  }

  ~TTap() {
    if (!Capture)
      return;
    const std::string Failure = Capture->Failure();
    if (!Failure.empty())
      std::fprintf(stderr, "de30ctl: warning: the capture stopped: %s\n", Failure.c_str());
    else
      std::fprintf(stderr, "de30ctl: %s captured in %s\n",
                   Plural(Capture->Exchanges(), "exchange", "exchanges").c_str(),
                   Capture->Path().c_str());
  }

  void Feed(TClock::time_point At, const std::uint8_t *Data, std::size_t Count) {
    Take(Splitter.Feed(At, Data, Count));
  }
  void Quiet(TClock::time_point Now) { Take(Splitter.Quiet(Now)); }
  void Finish() { Take(Splitter.Finish()); }

  // The line's error counts since Began: shown, and written to the capture, when
  // they change and at the end.
  void LineErrors(TClock::time_point Began, TClock::time_point Now,
                  const std::optional<capture::TLineErrors> &Errors, bool End) {
    const bool Changed = !Shown || *Shown != Errors;
    Shown = Errors;
    if (!Changed && !End)
      return;
    std::printf("line errors%s: %s%s\n", Errors ? " since the tap began" : "",
                capture::LineErrorsText(Errors).c_str(),
                Errors ? "" : " (the device does not count them)");
    std::fflush(stdout);
    if (Capture)
      Capture->WriteLineErrors(Options.Line, Began, Now, Errors);
  }

  void Summary() const {
    const TTally &T = Tally;
    std::printf(
        "tap: %s heard on line %d: %s in %s (%llu accepted, %llu rejected, %llu "
        "without a reply, %llu with a short one), %s in replies, %s of garbage in %s, "
        "%s in %s without a frame\n",
        Plural(Splitter.BytesFed(), "byte", "bytes").c_str(), Options.Line,
        Plural(T.FrameBytes, "byte", "bytes").c_str(),
        Plural(T.Exchanges, "frame", "frames").c_str(),
        static_cast<unsigned long long>(T.Accepted),
        static_cast<unsigned long long>(T.Rejected), static_cast<unsigned long long>(T.NoReply),
        static_cast<unsigned long long>(T.Short), Plural(T.ReplyBytes, "byte", "bytes").c_str(),
        Plural(T.GarbageBytes, "byte", "bytes").c_str(),
        Plural(T.GarbagePieces, "piece", "pieces").c_str(),
        Plural(T.StrayBytes, "byte", "bytes").c_str(),
        Plural(T.StrayReplies, "reply", "replies").c_str());
    std::fflush(stdout);
  }

private:
  struct TTally {
    std::uint64_t Exchanges = 0, Accepted = 0, Rejected = 0, NoReply = 0, Short = 0;
    std::uint64_t FrameBytes = 0, ReplyBytes = 0;
    std::uint64_t GarbagePieces = 0, GarbageBytes = 0, StrayReplies = 0, StrayBytes = 0;
  };

  static capture::TTapOptions SplitterOptions(const TTapOptions &Given, int BaudRate) {
    capture::TTapOptions S;
    S.BaudRate = BaudRate;
    S.Gap = std::chrono::milliseconds(Given.GapMs);
    return S;
  }

  void Take(const std::vector<THeard> &Pieces) {
    for (const THeard &Piece : Pieces)
      if (Piece.Kind == THeardKind::Exchange)
        TakeExchange(Piece);
      else
        TakeLoose(Piece);
    if (!Pieces.empty() && !Options.Summary)
      std::fflush(stdout);
  }

  void TakeExchange(const THeard &E) {
    const channels::TTraceRecord R = E.Record(Options.Line);
    const capture::TOutcome Outcome = E.Outcome();
    ++Tally.Exchanges;
    Tally.FrameBytes += E.Frame.size();
    Tally.ReplyBytes += E.Reply.size();
    if (E.Reply.empty())
      ++Tally.NoReply;
    else if (R.Result != 0)
      ++Tally.Short;
    else if (Outcome == capture::TOutcome::Accepted)
      ++Tally.Accepted;
    else
      ++Tally.Rejected;
    const auto Derived = Codes.Follow(Options.Line, E);
    if (!Options.Summary) {
      PrintTrace(stdout, R);
      if (Derived)
        std::printf("  L%d = %-40s %s\n", Options.Line, "", DescribeDerived(*Derived).c_str());
    }
    if (Capture)
      Capture->Write(R);
  }

  void TakeLoose(const THeard &Piece) {
    std::string What;
    if (Piece.Kind == THeardKind::StrayReply) {
      ++Tally.StrayReplies;
      Tally.StrayBytes += Piece.Reply.size();
      What = "reply without its frame";
      // The frame it would answer, as far as the reply itself tells it.
      const std::uint8_t Code = Piece.Reply.size() > 1 ? Piece.Reply[1] : 0;
      if (const auto *Shape = protocol::FindShape(Piece.Reply[0], Code))
        What += " (to a " +
                DescribeCommand(std::vector<std::uint8_t>(
                    Piece.Reply.begin(),
                    Piece.Reply.begin() +
                        std::min<std::size_t>(Shape->SendLength, Piece.Reply.size()))) +
                "?)";
    } else {
      ++Tally.GarbagePieces;
      Tally.GarbageBytes += Piece.Reply.size();
      What =
          "garbage, " + Plural(Piece.Reply.size(), "byte", "bytes") + " in no frame or reply";
    }
    if (!Options.Summary)
      std::printf("  L%d ? %-40s %s\n", Options.Line, Hex(Piece.Reply).c_str(), What.c_str());
    if (Capture)
      Capture->WriteLoose({Options.Line, Piece.Kind, Piece.Reply, Piece.End});
  }

  const TTapOptions &Options;
  capture::TTapSplitter Splitter;
  capture::THostCodes Codes;
  std::unique_ptr<capture::TCaptureWriter> Capture;
  TTally Tally;
  std::optional<std::optional<capture::TLineErrors>> Shown;
};

int TapRecording(const TTapOptions &Options) {
  if (!Options.Record.empty())
    throw ECtlError(ExitUsage, "--record keeps what a live line carries: not with --file");
  if (Options.DurationS > 0)
    throw ECtlError(ExitUsage, "--duration applies to a live line: not with --file");
  std::unique_ptr<TTap> Tap;
  capture::TRawHeader Header;
  const auto Begin = [&] {
    const int Baud = Options.BaudRate > 0 ? Options.BaudRate
                                          : (Header.BaudRate > 0 ? Header.BaudRate : 2400);
    Tap = std::make_unique<TTap>(
        Options, Baud, Header.Device.empty() ? "recording " + Options.File : Header.Device);
  };
  try {
    capture::ReadRawRecording(
        Options.File, Header,
        [&](TClock::time_point At, const std::vector<std::uint8_t> &Bytes) {
          if (!Tap)
            Begin();
          Tap->Feed(At, Bytes.data(), Bytes.size());
        });
  } catch (const capture::ECaptureError &Error) {
    throw ECtlError(ExitCannotOpen, Error.what());
  }
  if (!Tap)
    Begin();
  Tap->Finish();
  Tap->Summary();
  return ExitOk;
}

} // namespace

int RunTap(const TTapOptions &Options, const std::atomic<bool> &Stop) {
  const int Sources = !Options.Serial.empty() + !Options.Tcp.empty() + !Options.File.empty();
  if (Sources != 1)
    throw ECtlError(ExitUsage, "tap listens to one line: give --serial DEVICE, --tcp "
                               "HOST:PORT or --file RECORDING");
  if (!Options.File.empty())
    return TapRecording(Options);

  const int Baud = Options.BaudRate > 0 ? Options.BaudRate : 2400;
  std::unique_ptr<TLiveLine> Line;
  std::string Where;
  if (!Options.Serial.empty()) {
    std::string Reason;
    auto Port = TListeningPort::Open(Options.Serial, Baud, Reason);
    if (!Port)
      throw ECtlError(ExitCannotOpen, Reason);
    Line = std::make_unique<TSerialLine>(std::move(Port));
    Where = Options.Serial;
  } else {
    Line = ConnectTcp(Options.Tcp);
    Where = "tcp " + Options.Tcp;
  }
  std::unique_ptr<capture::TRawRecorder> Recorder;
  if (!Options.Record.empty()) {
    try {
      Recorder = std::make_unique<capture::TRawRecorder>(Options.Record,
                                                         capture::TRawHeader{Baud, Where});
    } catch (const capture::ECaptureError &Error) {
      throw ECtlError(ExitCannotOpen, Error.what());
    }
  }
  TTap Tap(Options, Baud, Where);
  std::printf("tap: listening to %s at %d baud, read-only; Ctrl-C ends\n", Where.c_str(), Baud);
  std::fflush(stdout);

  const auto Began = TClock::now();
  const std::optional<TSerialCounters> First = Line->Counters();
  const auto Errors = [&]() -> std::optional<capture::TLineErrors> {
    const auto Now = Line->Counters();
    if (!First || !Now)
      return std::nullopt;
    return ErrorsOf(channels::CountedSince(*First, *Now));
  };
  Tap.LineErrors(Began, Began, Errors(), false);

  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(Options.DurationS);
  auto NextCount = std::chrono::steady_clock::now() + CountersEvery;
  bool Closed = false;
  std::uint8_t Buffer[256];
  while (!Stop && (Options.DurationS == 0 || std::chrono::steady_clock::now() < Until)) {
    const TListeningPort::TRead Got = Line->Read(Buffer, sizeof Buffer, ReadWait);
    const TClock::time_point At = TClock::now();
    if (Got.Count > 0) {
      if (Recorder)
        Recorder->Write(At, Buffer, Got.Count);
      Tap.Feed(At, Buffer, Got.Count);
    } else {
      Tap.Quiet(At);
    }
    if (Got.Closed) {
      Closed = true;
      break;
    }
    if (First && std::chrono::steady_clock::now() >= NextCount) {
      NextCount += CountersEvery;
      Tap.LineErrors(Began, At, Errors(), false);
    }
  }
  Tap.Finish();
  Tap.LineErrors(Began, TClock::now(), Errors(), true);
  Tap.Summary();
  if (Recorder) {
    if (!Recorder->Failure().empty())
      std::fprintf(stderr, "de30ctl: warning: the recording stopped: %s\n",
                   Recorder->Failure().c_str());
    else
      std::fprintf(stderr, "de30ctl: %s recorded in %s\n",
                   Plural(Recorder->Bytes(), "byte", "bytes").c_str(),
                   Recorder->Path().c_str());
  }
  if (Closed) {
    std::fprintf(stderr, "de30ctl: %s closed while the tap listened\n", Where.c_str());
    return ExitCannotOpen;
  }
  return ExitOk;
}

} // namespace de30::ctl
