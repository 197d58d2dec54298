// The simulated station's frame parser on arbitrary byte streams. The first input
// byte decides how the rest is cut into reads; the rest is the line's bytes. The
// parser must yield, whatever the cut, exactly the frames and garbage count of a
// plain scan of the whole stream (written here from the framing rules, not from the
// parser's state machine), every frame must have the length its command implies,
// and a line that falls silent and then carries a clean frame must yield it.
#include "sim/frames.hpp"

#include <cstdio>
#include <cstdlib>

namespace de30::sim {
namespace {

[[noreturn]] void Fail(const char *What) {
  std::fprintf(stderr, "invariant broken: %s\n", What);
  std::abort();
}

struct TScan {
  std::vector<TBytes> Frames;
  std::size_t Garbage = 0;
  std::size_t Idle = 0;    // 0x00 bytes outside frames: frame starts and line fill
  std::size_t Pending = 0; // bytes of a frame the stream ends in the middle of
};

// Outside a frame a non-zero byte is garbage; a run of 0x00 opens a frame at the
// next byte. A lead byte no command starts with, or a code byte its command does not
// know, makes the lead byte garbage and scanning goes on right after it.
TScan Scan(const std::uint8_t *Data, std::size_t Size) {
  TScan Out;
  std::size_t I = 0;
  while (I < Size) {
    if (Data[I] != 0) {
      ++Out.Garbage;
      ++I;
      continue;
    }
    std::size_t Start = I;
    while (Start < Size && Data[Start] == 0)
      ++Start;
    Out.Idle += Start - I;
    if (Start == Size)
      break;
    const std::uint8_t Lead = Data[Start];
    if (LengthNeedsCode(Lead) && Start + 1 == Size) {
      Out.Pending = 1;
      break;
    }
    const std::uint8_t Code = LengthNeedsCode(Lead) ? Data[Start + 1] : 0;
    const auto Length = CommandLength(Lead, Code);
    if (!Length) {
      ++Out.Garbage;
      I = Start + 1;
      continue;
    }
    if (Start + *Length > Size) {
      Out.Pending = Size - Start;
      break;
    }
    Out.Frames.emplace_back(Data + Start, Data + Start + *Length);
    I = Start + *Length;
  }
  return Out;
}

void CheckFrame(const TBytes &Frame) {
  if (Frame.empty())
    Fail("an empty frame");
  const auto Length = CommandLength(Frame[0], Frame.size() > 1 ? Frame[1] : 0);
  if (!Length || *Length != Frame.size())
    Fail("a frame whose length is not the one its command implies");
  // The station sizes its answer by this; it must only look inside the frame.
  if (ReplyLength(Frame) == 0)
    Fail("a frame that expects no reply");
}

// Read sizes from 1 to MaxRead, varied by a small generator so one input byte
// gives many different cuts.
std::vector<TBytes> FeedInReads(TFrameParser &Parser, const std::uint8_t *Data,
                                std::size_t Size, std::uint8_t Cut) {
  std::vector<TBytes> Frames;
  const std::size_t MaxRead = Cut % 32 + 1;
  std::uint32_t State = Cut * 2654435761u + 1;
  std::size_t Pos = 0;
  while (Pos < Size) {
    State = State * 1103515245u + 12345u;
    const std::size_t Want = (State >> 16) % MaxRead + 1;
    const std::size_t Take = Want < Size - Pos ? Want : Size - Pos;
    // A copy of exactly the read's size, so a look past it shows up under ASan.
    const TBytes Read(Data + Pos, Data + Pos + Take);
    for (TBytes &Frame : Parser.Feed(Read.data(), Read.size()))
      Frames.push_back(std::move(Frame));
    Pos += Take;
  }
  return Frames;
}

} // namespace
} // namespace de30::sim

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size) {
  using namespace de30::sim;
  if (Size == 0)
    return 0;
  const std::uint8_t Cut = Data[0];
  const std::uint8_t *Stream = Data + 1;
  const std::size_t Length = Size - 1;

  TFrameParser Parser;
  const std::vector<TBytes> Frames = FeedInReads(Parser, Stream, Length, Cut);
  const TScan Expected = Scan(Stream, Length);
  for (const TBytes &Frame : Frames)
    CheckFrame(Frame);
  if (Frames != Expected.Frames)
    Fail("the frames depend on how the stream was cut into reads");
  if (Parser.Garbage() != Expected.Garbage)
    Fail("a garbage count that differs from the scan's");
  std::size_t FrameBytes = 0;
  for (const TBytes &Frame : Frames)
    FrameBytes += Frame.size();
  if (Expected.Garbage + FrameBytes + Expected.Idle + Expected.Pending != Length)
    Fail("garbage, frames, line fill and the unfinished frame do not add up to the stream");

  // The longest command is twelve bytes, so twelve 0x00 finish or end whatever was
  // open; a poll of pump 1 after that must come through on its own.
  const std::uint8_t Tail[] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x09};
  const auto After = Parser.Feed(Tail, sizeof Tail);
  if (After.empty() || After.back() != TBytes{0x09})
    Fail("no resynchronisation on a clean frame after the line fell silent");
  TBytes Whole(Stream, Stream + Length);
  Whole.insert(Whole.end(), Tail, Tail + sizeof Tail);
  const TScan WholeScan = Scan(Whole.data(), Whole.size());
  std::vector<TBytes> All = Frames;
  All.insert(All.end(), After.begin(), After.end());
  if (All != WholeScan.Frames || Parser.Garbage() != WholeScan.Garbage)
    Fail("the parser and the scan part ways after the line fell silent");
  return 0;
}
