// The tap's splitter on byte streams as a receive-only adapter hears them: each
// case is a line's bytes with their timing and the pieces the splitter must make
// of them, every byte in exactly one piece, in the order heard.

#include "capture/tap_splitter.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace de30::capture;
using TBytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

const TClock::time_point Start = TClock::time_point(std::chrono::seconds(1796780000));
const TClock::duration ByteTime = std::chrono::microseconds(4167); // 2400 baud

struct TRead {
  TClock::time_point At;
  TBytes Bytes;
};

// A line as the tap reads it: bytes back to back, each read as it ends, with
// pauses where the line fell silent, or taken late, several in one read.
class TLine {
public:
  TLine &Bytes(const TBytes &Bytes) {
    for (std::uint8_t B : Bytes) {
      Now += ByteTime;
      Reads.push_back({Now, {B}});
    }
    return *this;
  }
  TLine &Pause(int Ms) {
    Now += milliseconds(Ms);
    return *this;
  }
  // Bytes that crossed back to back, taken in one read as the last ended.
  TLine &Chunk(const TBytes &Bytes) { return Late(Bytes, 0); }
  // Bytes that crossed back to back, taken in one read LateMs after the last
  // ended; the line was silent meanwhile.
  TLine &Late(const TBytes &Bytes, int LateMs) {
    Now += ByteTime * static_cast<int>(Bytes.size()) + milliseconds(LateMs);
    Reads.push_back({Now, Bytes});
    return *this;
  }
  std::vector<TRead> Reads;
  TClock::time_point Now = Start;
};

struct TPiece {
  THeardKind Kind;
  TBytes Frame;
  TBytes Reply; // a loose piece's bytes
  TOutcome Outcome = TOutcome::Accepted;
  std::int32_t Result = 0;
};

TPiece Exchange(TBytes Frame, TBytes Reply, TOutcome Outcome = TOutcome::Accepted,
                std::int32_t Result = 0) {
  return {THeardKind::Exchange, std::move(Frame), std::move(Reply), Outcome, Result};
}
TPiece Garbage(TBytes Bytes) { return {THeardKind::Garbage, {}, std::move(Bytes)}; }
TPiece Stray(TBytes Bytes) { return {THeardKind::StrayReply, {}, std::move(Bytes)}; }

// "exchange | 00 09 | 09 00 FF | accepted 0": what a piece is, in one line.
std::string Describe(THeardKind Kind, const TBytes &Frame, const TBytes &Reply,
                     TOutcome Outcome, std::int32_t Result) {
  std::string Text = HeardKindName(Kind);
  char Byte[4];
  for (const TBytes *Part : {&Frame, &Reply}) {
    Text += " |";
    for (std::uint8_t B : *Part) {
      std::snprintf(Byte, sizeof Byte, " %02X", B);
      Text += Byte;
    }
  }
  if (Kind == THeardKind::Exchange)
    Text += std::string(" | ") + OutcomeName(Outcome) + " " + std::to_string(Result);
  return Text;
}

std::string Describe(const THeard &H) {
  return Describe(H.Kind, H.Frame, H.Reply,
                  H.Kind == THeardKind::Exchange ? H.Outcome() : TOutcome::Accepted,
                  H.Kind == THeardKind::Exchange ? H.Result() : 0);
}

std::string Describe(const TPiece &P) {
  return Describe(P.Kind, P.Frame, P.Reply, P.Outcome, P.Result);
}

std::vector<THeard> Split(const TLine &Line, TTapSplitter &Splitter) {
  std::vector<THeard> Heard;
  for (const TRead &R : Line.Reads)
    for (THeard &H : Splitter.Feed(R.At, R.Bytes.data(), R.Bytes.size()))
      Heard.push_back(std::move(H));
  for (THeard &H : Splitter.Finish())
    Heard.push_back(std::move(H));
  return Heard;
}

struct TCase {
  const char *Name;
  TLine Line;
  std::vector<TPiece> Pieces;
};

const TBytes FillReply = {0x0A, 0xB4, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF,
                          0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x01, 0xFE};

std::vector<TCase> Cases() {
  TBytes Totals2 = {0x02, 0x2D};
  for (int I = 0; I < 24; ++I)
    Totals2.push_back(I % 2 == 0 ? 0x00 : 0xFF);
  Totals2.insert(Totals2.end(), {0x02, 0xFD});
  const TBytes Prices = {0x14, 0x4B, 0x01, 0x00, 0x02, 0x00,
                         0x03, 0x00, 0x04, 0x00, 0x05, 0x00};
  TBytes PricesFrame = {0x00};
  PricesFrame.insert(PricesFrame.end(), Prices.begin(), Prices.end());
  const TBytes FillTail(FillReply.begin() + 2, FillReply.end());
  return {
      {"a poll and its reply",
       TLine().Bytes({0x00, 0x09, 0x09, 0x00, 0xFF}),
       {Exchange({0x00, 0x09}, {0x09, 0x00, 0xFF})}},
      {"a frame without a reply, then the next frame",
       TLine().Bytes({0x00, 0x09}).Pause(200).Bytes({0x00, 0x11, 0x11, 0x00, 0xFF}),
       {Exchange({0x00, 0x09}, {}, TOutcome::Timeout, 4),
        Exchange({0x00, 0x11}, {0x11, 0x00, 0xFF})}},
      {"a short reply ends where the next frame begins after a pause",
       TLine()
           .Bytes({0x00, 0x0A, 0xB4, 0x0A, 0xB4, 0x00, 0xFF, 0x00})
           .Pause(300)
           .Bytes({0x00, 0x09, 0x09, 0x00, 0xFF}),
       {Exchange({0x00, 0x0A, 0xB4}, {0x0A, 0xB4, 0x00, 0xFF, 0x00}, TOutcome::Timeout, 5),
        Exchange({0x00, 0x09}, {0x09, 0x00, 0xFF})}},
      {"noise ahead of a reply is its first byte and the reply's last is left over",
       TLine()
           .Bytes({0x00, 0x09, 0xFF, 0x09, 0x00, 0xFF})
           .Pause(50)
           .Bytes({0x00, 0x09, 0x09, 0x00, 0xFF}),
       {Exchange({0x00, 0x09}, {0xFF, 0x09, 0x00}, TOutcome::Rejected), Garbage({0xFF}),
        Exchange({0x00, 0x09}, {0x09, 0x00, 0xFF})}},
      {"a reply whose echo differs is whole and rejected",
       TLine().Bytes({0x00, 0x09, 0xF6, 0x00, 0xFF}),
       {Exchange({0x00, 0x09}, {0xF6, 0x00, 0xFF}, TOutcome::Rejected)}},
      {"zeros inside a reply are digits, not frames",
       TLine().Bytes({0x00, 0x0A, 0xB4}).Bytes(FillReply).Bytes({0x00, 0x09, 0x09, 0x00, 0xFF}),
       {Exchange({0x00, 0x0A, 0xB4}, FillReply), Exchange({0x00, 0x09}, {0x09, 0x00, 0xFF})}},
      {"a pause inside a reply that no frame follows does not end it",
       TLine().Bytes({0x00, 0x09, 0x09}).Pause(40).Bytes({0x00, 0xFF}),
       {Exchange({0x00, 0x09}, {0x09, 0x00, 0xFF})}},
      {"a late reader's bytes are put back on the line's schedule",
       TLine().Bytes({0x00, 0x0A, 0xB4, 0x0A, 0xB4}).Late(FillTail, 60),
       {Exchange({0x00, 0x0A, 0xB4}, FillReply)}},
      {"zeros after a pause inside a reply, the next frame right behind, are digits",
       TLine()
           .Bytes({0x00, 0x09, 0x09})
           .Pause(40)
           .Bytes({0x00, 0xFF, 0x00, 0x11, 0x11, 0x00, 0xFF}),
       {Exchange({0x00, 0x09}, {0x09, 0x00, 0xFF}),
        Exchange({0x00, 0x11}, {0x11, 0x00, 0xFF})}},
      {"a late read followed by silence still takes the reply's zeros as digits",
       TLine()
           .Bytes({0x00, 0x09, 0x09})
           .Late({0x00, 0xFF}, 60)
           .Pause(200)
           .Bytes({0x00, 0x11, 0x11, 0x00, 0xFF}),
       {Exchange({0x00, 0x09}, {0x09, 0x00, 0xFF}),
        Exchange({0x00, 0x11}, {0x11, 0x00, 0xFF})}},
      {"a frame read whole after a short reply and its own reply at once is a frame",
       TLine()
           .Bytes({0x00, 0x0A, 0xB4, 0x0A, 0xB4, 0x00, 0xFF, 0xFF, 0x00})
           .Pause(300)
           .Chunk({0x00, 0x09})
           .Bytes({0x09, 0x00, 0xFF}),
       {Exchange({0x00, 0x0A, 0xB4}, {0x0A, 0xB4, 0x00, 0xFF, 0xFF, 0x00}, TOutcome::Timeout,
                 5),
        Exchange({0x00, 0x09}, {0x09, 0x00, 0xFF})}},
      {"garbage before a frame",
       TLine().Bytes({0xFF, 0xFE, 0x00, 0x09, 0x09, 0x00, 0xFF}),
       {Garbage({0xFF, 0xFE}), Exchange({0x00, 0x09}, {0x09, 0x00, 0xFF})}},
      {"zeros before a frame are garbage, the last one starts it",
       TLine().Bytes({0x00, 0x00, 0x00, 0x09, 0x09, 0x00, 0xFF}),
       {Garbage({0x00, 0x00}), Exchange({0x00, 0x09}, {0x09, 0x00, 0xFF})}},
      {"a reply heard without its frame",
       TLine().Bytes({0x09, 0x00, 0xFF}).Pause(50).Bytes({0x00, 0x11, 0x11, 0x00, 0xFF}),
       {Stray({0x09, 0x00, 0xFF}), Exchange({0x00, 0x11}, {0x11, 0x00, 0xFF})}},
      {"bursts of garbage split at pauses",
       TLine().Bytes({0xAA, 0xBB}).Pause(50).Bytes({0xCC}),
       {Garbage({0xAA, 0xBB}), Garbage({0xCC})}},
      {"an execute without its lead byte's complement is no frame",
       TLine().Bytes({0x00, 0x0D, 0x00}).Pause(50).Bytes({0x00, 0x09, 0x09, 0x00, 0xFF}),
       {Garbage({0x00, 0x0D, 0x00}), Exchange({0x00, 0x09}, {0x09, 0x00, 0xFF})}},
      {"an unblock carries its code's complement",
       TLine().Bytes({0x00, 0x0C, 0x96, 0x05, 0xFA, 0x0C, 0x96, 0x05, 0xFA}),
       {Exchange({0x00, 0x0C, 0x96, 0x05, 0xFA}, {0x0C, 0x96, 0x05, 0xFA})}},
      {"an unblock whose complement is wrong is garbage",
       TLine().Bytes({0x00, 0x0C, 0x96, 0x05, 0xFB}),
       {Garbage({0x00, 0x0C, 0x96, 0x05, 0xFB})}},
      {"a frame cut by a pause is none",
       TLine().Bytes({0x00}).Pause(50).Bytes({0x09, 0x00, 0xFF}),
       {Garbage({0x00}), Stray({0x09, 0x00, 0xFF})}},
      {"an unknown code byte makes no frame",
       TLine().Bytes({0x00, 0x0C, 0x77, 0x00, 0x09, 0x09, 0x00, 0xFF}),
       {Garbage({0x00, 0x0C, 0x77}), Exchange({0x00, 0x09}, {0x09, 0x00, 0xFF})}},
      {"totals of two groups: a 28-byte reply",
       TLine().Bytes({0x00, 0x02, 0x2D}).Bytes(Totals2),
       {Exchange({0x00, 0x02, 0x2D}, Totals2)}},
      {"five prices and their echo",
       TLine().Bytes(PricesFrame).Bytes(Prices).Bytes({0x00, 0x15, 0xEA, 0x15}),
       {Exchange(PricesFrame, Prices), Exchange({0x00, 0x15, 0xEA}, {0x15})}},
      {"the end of the recording gives out a frame still waiting",
       TLine().Bytes({0x00, 0x09, 0x09}),
       {Exchange({0x00, 0x09}, {0x09}, TOutcome::Timeout, 5)}},
  };
}

TEST(TapSplitter, EveryCaseSplitsAsAReceiveOnlyAdapterShould) {
  for (const TCase &C : Cases()) {
    SCOPED_TRACE(C.Name);
    TTapSplitter Splitter;
    const std::vector<THeard> Heard = Split(C.Line, Splitter);
    std::vector<std::string> Got, Want;
    for (const THeard &H : Heard)
      Got.push_back(Describe(H));
    for (const TPiece &P : C.Pieces)
      Want.push_back(Describe(P));
    EXPECT_EQ(Got, Want);

    // Every byte once, in the order heard.
    TBytes Stream, Placed;
    for (const TRead &R : C.Line.Reads)
      Stream.insert(Stream.end(), R.Bytes.begin(), R.Bytes.end());
    for (const THeard &H : Heard) {
      Placed.insert(Placed.end(), H.Frame.begin(), H.Frame.end());
      Placed.insert(Placed.end(), H.Reply.begin(), H.Reply.end());
    }
    EXPECT_EQ(Placed, Stream);
    EXPECT_EQ(Splitter.BytesGiven(), Splitter.BytesFed());
  }
}

TEST(TapSplitter, AnExchangeRunsFromItsFramesFirstByteToItsRepliesLastOrTheNextFrame) {
  TTapSplitter Splitter;
  const TLine Line =
      TLine().Bytes({0x00, 0x09}).Pause(200).Bytes({0x00, 0x11, 0x11, 0x00, 0xFF});
  const std::vector<THeard> Heard = Split(Line, Splitter);
  ASSERT_EQ(Heard.size(), 2u);
  // The first byte began one byte time before it was read.
  EXPECT_EQ(Heard[0].Begin, Line.Reads[0].At - Splitter.ByteTime());
  // The controller gave up on the first frame by the time it sent the second.
  EXPECT_EQ(Heard[0].End, Heard[1].Begin);
  EXPECT_EQ(Heard[1].Begin, Line.Reads[2].At - Splitter.ByteTime());
  EXPECT_EQ(Heard[1].End, Line.Reads.back().At);
}

TEST(TapSplitter, SilenceGivesOutWhatBelongsToNoExchangeWithoutWaitingForMoreBytes) {
  TTapSplitter Splitter;
  const TBytes Noise = {0xFF, 0xFE, 0x00, 0x0C}; // ends like the start of a command 4
  EXPECT_TRUE(Splitter.Feed(Start, Noise.data(), Noise.size()).empty());
  // Shorter than the gap: a frame could still go on.
  EXPECT_TRUE(Splitter.Quiet(Start + milliseconds(5)).empty());
  const std::vector<THeard> Out = Splitter.Quiet(Start + milliseconds(100));
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].Kind, THeardKind::Garbage);
  EXPECT_EQ(Out[0].Reply, Noise);
  EXPECT_EQ(Splitter.BytesGiven(), Splitter.BytesFed());
}

TEST(TapSplitter, TheGapFollowsTheBaudRateAndAGivenOneWins) {
  EXPECT_EQ(TTapSplitter().Gap(), TTapSplitter().ByteTime() * TapGapByteTimes);
  TTapOptions Fast;
  Fast.BaudRate = 115200;
  EXPECT_EQ(TTapSplitter(Fast).Gap(), TClock::duration(TapGapFloor));
  TTapOptions Given;
  Given.Gap = milliseconds(7);
  EXPECT_EQ(TTapSplitter(Given).Gap(), TClock::duration(milliseconds(7)));
  // At 9600 baud a pause of 12 ms is a gap (the floor, 10 ms); at 2400 it is not.
  // After a short fill reply, what follows the pause is the next frame at 9600,
  // and more of the reply at 2400.
  const auto Paused = [](int Baud) {
    TTapOptions O;
    O.BaudRate = Baud;
    TTapSplitter S(O);
    const TBytes First = {0x00, 0x0A, 0xB4, 0x0A, 0xB4, 0x00, 0xFF};
    const TBytes Rest = {0x00, 0x09, 0x09, 0x00, 0xFF};
    std::vector<THeard> Out = S.Feed(Start, First.data(), First.size());
    for (std::size_t I = 0; I < Rest.size(); ++I)
      for (THeard &H : S.Feed(Start + milliseconds(12) + S.ByteTime() * static_cast<int>(I + 1),
                              &Rest[I], 1))
        Out.push_back(std::move(H));
    for (THeard &H : S.Finish())
      Out.push_back(std::move(H));
    return Out;
  };
  const auto At9600 = Paused(9600);
  ASSERT_EQ(At9600.size(), 2u);
  EXPECT_EQ(At9600[0].Reply, (TBytes{0x0A, 0xB4, 0x00, 0xFF}));
  EXPECT_EQ(At9600[1].Frame, (TBytes{0x00, 0x09}));
  const auto At2400 = Paused(2400);
  ASSERT_EQ(At2400.size(), 1u);
  EXPECT_EQ(At2400[0].Reply.size(), 9u);
}

} // namespace
