// The tap's splitter on arbitrary byte streams with arbitrary timing. The first
// input byte picks the baud rate; then come reads, each a control byte (low four
// bits: the read's length less one; high four: how long the line was silent
// before it, 0 for none, k for 2^(k-1) tenths of a millisecond, 14 for a clock
// that steps back, 15 for a silence the reader notices, Quiet) and its bytes.
// Whatever the input: every byte comes out exactly once, in order; every frame has
// its command's shape and every reply at most its length; and after a silence,
// two clean polls are heard, the second as itself.
#include "capture/tap_splitter.hpp"
#include "de30/constants.hpp"
#include "protocol/vocabulary.hpp"

#include <cstdio>
#include <cstdlib>

namespace de30::capture {
namespace {

using TBytes = std::vector<std::uint8_t>;

[[noreturn]] void Fail(const char *What) {
  std::fprintf(stderr, "invariant broken: %s\n", What);
  std::abort();
}

void Check(const THeard &H, TBytes &Placed) {
  if (H.End < H.Begin)
    Fail("a piece that ends before it begins");
  if (H.Kind == THeardKind::Exchange) {
    if (H.Frame.size() < 2 || H.Frame[0] != FrameStart)
      Fail("a frame that does not start with 0x00 and a lead byte");
    const auto *Shape = protocol::FindShape(H.Frame[1], H.Frame.size() > 2 ? H.Frame[2] : 0);
    if (Shape == nullptr || H.Frame.size() != 1u + Shape->SendLength)
      Fail("a frame without its command's shape");
    if (H.ReplyLength != Shape->ReplyLength || H.Reply.size() > H.ReplyLength)
      Fail("a reply longer than its command's");
    const bool Whole = H.Reply.size() == H.ReplyLength;
    if ((H.Result() == 0) != Whole || (H.Outcome() == TOutcome::Timeout) == Whole)
      Fail("an outcome that does not follow from the reply");
  } else if (!H.Frame.empty() || H.Reply.empty()) {
    Fail("a piece in no exchange without bytes, or with a frame");
  }
  Placed.insert(Placed.end(), H.Frame.begin(), H.Frame.end());
  Placed.insert(Placed.end(), H.Reply.begin(), H.Reply.end());
}

} // namespace
} // namespace de30::capture

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size) {
  using namespace de30::capture;
  if (Size == 0)
    return 0;
  static constexpr int Bauds[] = {1200, 2400, 9600, 115200};
  TTapOptions Options;
  Options.BaudRate = Bauds[Data[0] % 4];
  TTapSplitter Splitter(Options);
  TClock::time_point Now = TClock::time_point(std::chrono::seconds(1796780000));
  TBytes Fed, Placed;
  const auto Take = [&](const std::vector<THeard> &Pieces) {
    for (const THeard &H : Pieces)
      Check(H, Placed);
  };

  std::size_t At = 1;
  while (At < Size) {
    const std::uint8_t Control = Data[At++];
    const std::size_t Length = std::min<std::size_t>((Control & 0x0F) + 1u, Size - At);
    const int Silence = Control >> 4;
    if (Silence == 15)
      Take(Splitter.Quiet(Now + std::chrono::milliseconds(100)));
    else if (Silence == 14)
      Now -= std::chrono::milliseconds(5);
    else if (Silence > 0)
      Now += std::chrono::microseconds(100 << (Silence - 1));
    Now += Splitter.ByteTime() * static_cast<int>(Length);
    Take(Splitter.Feed(Now, Data + At, Length));
    Fed.insert(Fed.end(), Data + At, Data + At + Length);
    At += Length;
  }

  // A silence, a poll of pump 1, a silence, a poll of pump 2: whatever came before,
  // the second is heard whole.
  const TBytes First = {0x00, 0x09, 0x09, 0x00, 0xFF};
  const TBytes Second = {0x00, 0x11, 0x11, 0x00, 0xFF};
  std::vector<THeard> Tail;
  for (const TBytes *Poll : {&First, &Second}) {
    Now += std::chrono::seconds(1);
    for (std::uint8_t Byte : *Poll) {
      Now += Splitter.ByteTime();
      for (THeard &H : Splitter.Feed(Now, &Byte, 1))
        Tail.push_back(std::move(H));
    }
    Fed.insert(Fed.end(), Poll->begin(), Poll->end());
  }
  for (THeard &H : Splitter.Finish())
    Tail.push_back(std::move(H));
  Take(Tail);

  if (Placed != Fed)
    Fail("the pieces' bytes are not the bytes fed, once each and in order");
  if (Splitter.BytesGiven() != Splitter.BytesFed() || Splitter.BytesFed() != Fed.size())
    Fail("bytes held back after the end");
  if (Tail.empty() || Tail.back().Kind != THeardKind::Exchange ||
      Tail.back().Frame != TBytes(Second.begin(), Second.begin() + 2) ||
      Tail.back().Reply != TBytes(Second.begin() + 2, Second.end()) ||
      Tail.back().Outcome() != TOutcome::Accepted)
    Fail("a clean poll after a silence is not heard as itself");
  return 0;
}
