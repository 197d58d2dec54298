// The real channels' transaction and reply reading (TLineChannel over the Asio
// link) on arbitrary byte streams: the fuzz input decides the frames and reply
// lengths the host asks for, and at the far end every byte, short read, stall,
// close, failed open and failed write, and what the line carries while the channel
// lets it fall quiet after a failed exchange. Whatever arrives, the channel must
// write nothing outside the reply buffer, and only the whole reply into it; must
// return 0 or one of its documented error numbers with the line state and last
// error that go with it; must write the frame as given; must count every byte it
// dropped before the frame; and must never wait on a dead line.
#include "channels/asio_link.hpp"
#include "fuzz_stream.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace de30::fuzz {
namespace {

using namespace de30::channels;

[[noreturn]] void Fail(const char *What) {
  std::fprintf(stderr, "invariant broken: %s\n", What);
  std::abort();
}

constexpr int MaxTransactions = 24;
constexpr std::size_t GuardBytes = 16;
constexpr std::uint8_t GuardByte = 0xA5;
constexpr std::uint8_t Untouched = 0x5A;

class TFuzzLines final : public TLineChannel {
public:
  TFuzzLines(TFuzzInput &Input, TWireLog &Wire) : In(Input), Log(Wire) {}
  int Opens = 0;

protected:
  std::unique_ptr<TLink> Open(std::int32_t, std::int32_t, std::int32_t &Error) override {
    ++Opens;
    const std::uint8_t Kind = In.Byte();
    if (Kind == 0xF1)
      Error = ErrNoSuchLine;
    if (Kind >= 0xF0)
      return nullptr; // 0xF0 and others: no error number, the channel supplies one
    auto Link = std::make_unique<TAsioLink<TFuzzStream>>();
    Link->Stream.In = &In;
    Link->Stream.Log = &Log;
    return Link;
  }

private:
  TFuzzInput &In;
  TWireLog &Log;
};

// The driver's reply check, reduced: a reply whose first byte repeats the lead
// byte is accepted.
struct TCheckLog {
  TLineChannel *Channel = nullptr;
  std::size_t ReplyLength = 0; // the check itself is not told
  int Calls = 0;
  std::vector<std::uint8_t> SeenReply;
};

bool CheckReply(void *Data, std::int32_t Line, const std::uint8_t *Sent,
                const std::uint8_t *Reply) {
  auto &Log = *static_cast<TCheckLog *>(Data);
  ++Log.Calls;
  Log.SeenReply.assign(Reply, Reply + Log.ReplyLength);
  const bool Ok = Reply[0] == Sent[0];
  Log.Channel->SetState(Line, Ok ? 1 : 3);
  Log.Channel->SetError(Line, Ok ? ErrNone : ErrRejected);
  return Ok;
}

std::int32_t SetUp(void *Data, std::int32_t Line) {
  return static_cast<TCheckLog *>(Data)->Channel->SetupLine(Line, 15, 2400);
}

struct TRequest {
  std::int32_t Line = 1;
  std::vector<std::uint8_t> Frame;
  bool NullFrame = false;
  std::uint8_t ReplyLength = 0;
  bool NullReply = false;
};

TRequest NextRequest(TFuzzInput &In) {
  TRequest R;
  const std::uint8_t Shape = In.Byte();
  R.Line = Shape % 3; // line 0 too: the channel has no opinion on line numbers
  R.NullFrame = Shape == 0xFF;
  R.NullReply = Shape == 0xFE;
  const std::size_t FrameLength = In.Byte() % 14;
  for (std::size_t I = 0; I < FrameLength; ++I)
    R.Frame.push_back(In.Byte());
  R.ReplyLength = In.Byte();
  return R;
}

void Play(TFuzzInput &In) {
  TWireLog Wire;
  TFuzzLines Channel(In, Wire);
  TCheckLog Check;
  Check.Channel = &Channel;
  TTraceRecord Traced;
  Channel.SetTracer([&Traced](const TTraceRecord &Record) { Traced = Record; });
  // A timeout that would show: a read that truly waited would cost a second.
  Channel.SetReplyTimeout(std::chrono::milliseconds(1000));
  const std::uint8_t Routines = In.Byte();
  for (std::int32_t Line = 0; Line < 3; ++Line) {
    if (Routines & 1)
      Channel.SetReplyCheck(Line, CheckReply, &Check);
    if (Routines & 2)
      Channel.SetLineSetup(Line, SetUp, &Check);
  }
  if (Routines & 4)
    Channel.SetupLine(1, 15, 2400);

  for (int T = 0; T < MaxTransactions && !In.Empty(); ++T) {
    const TRequest R = NextRequest(In);
    std::vector<std::uint8_t> Area(GuardBytes + R.ReplyLength + GuardBytes, GuardByte);
    std::memset(Area.data() + GuardBytes, Untouched, R.ReplyLength);
    std::uint8_t *Reply = R.NullReply ? nullptr : Area.data() + GuardBytes;
    const std::uint8_t *Frame = R.NullFrame ? nullptr : R.Frame.data();
    const auto FrameLength = static_cast<std::uint8_t>(R.Frame.size());
    Wire.Reset();
    Traced = TTraceRecord{};
    Check.Calls = 0;
    Check.ReplyLength = R.ReplyLength;
    const int OpensBefore = Channel.Opens;

    const auto Began = std::chrono::steady_clock::now();
    const std::int32_t Result =
        Channel.Transact(R.Line, R.Line, Frame, FrameLength, Reply, R.ReplyLength, 0);
    if (std::chrono::steady_clock::now() - Began > std::chrono::milliseconds(500))
      Fail("a transaction waited on a line that had nothing more to say");

    for (std::size_t I = 0; I < GuardBytes; ++I)
      if (Area[I] != GuardByte || Area[GuardBytes + R.ReplyLength + I] != GuardByte)
        Fail("a write outside the reply buffer");
    if (Result < ErrNone || Result > ErrBadFrame)
      Fail("a result that is no documented error number");
    if (Wire.LargestAsk > R.ReplyLength)
      Fail("a read asked for more bytes than the reply has");
    if (Wire.Delivered.size() > R.ReplyLength)
      Fail("more bytes taken from the line than the reply has");
    if (Traced.Dropped != Wire.Dropped.size())
      Fail("the bytes dropped before the frame are not the ones counted");

    const bool BadRequest =
        Frame == nullptr || FrameLength < 2 || (R.NullReply && R.ReplyLength > 0);
    if (BadRequest) {
      if (Result != ErrBadFrame || !Wire.Written.empty())
        Fail("a malformed request not refused as a bad frame before writing");
    } else if (Channel.Opens > OpensBefore && Wire.Written.empty() && !Wire.WriteFailed) {
      if (Result != ErrOpenFailed && Result != ErrNoSuchLine)
        Fail("a line that could not be opened reported as something else");
    } else if (Wire.WriteFailed) {
      if (Result != ErrWriteFailed)
        Fail("a failed write reported as something else");
    } else if (Wire.Closed && Wire.Written.empty()) {
      if (Result != ErrClosed)
        Fail("a line that closed while it fell quiet reported as something else");
    } else {
      if (!Wire.Discarded)
        Fail("stale input not discarded before the frame went out");
      if (Wire.Written != R.Frame)
        Fail("the bytes written are not the frame");
      const bool Whole = Wire.Delivered.size() == R.ReplyLength;
      const std::int32_t Expected = Whole                    ? ErrNone
                                    : Wire.Closed            ? ErrClosed
                                    : Wire.Delivered.empty() ? ErrTimeout
                                                             : ErrShortReply;
      if (Result != Expected)
        Fail("a result that does not match what the line did");
      if (Whole && R.ReplyLength > 0 &&
          std::memcmp(Reply, Wire.Delivered.data(), R.ReplyLength) != 0)
        Fail("the reply buffer does not hold the bytes that arrived");
      if (Whole && (Routines & 1) && R.ReplyLength > 0 &&
          (Check.Calls != 1 || Check.SeenReply != Wire.Delivered))
        Fail("the reply check did not see the reply once");
    }
    if (Result != ErrNone) {
      for (std::uint8_t I = 0; I < R.ReplyLength && Reply != nullptr; ++I)
        if (Reply[I] != Untouched)
          Fail("a failed transaction wrote into the reply buffer");
      if (Channel.GetState(R.Line) != StateFailed || Channel.LastError(R.Line) != Result)
        Fail("a failure without line state 2 and its error number");
      if (Check.Calls != 0)
        Fail("the reply check ran on a failed transaction");
    } else {
      const std::uint8_t State = Channel.GetState(R.Line);
      if (State != 1 && State != 3)
        Fail("a transaction that succeeded leaves no verdict in the line state");
    }
  }
}

} // namespace
} // namespace de30::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size) {
  de30::fuzz::TFuzzInput In(Data, Size);
  de30::fuzz::Play(In);
  return 0;
}
