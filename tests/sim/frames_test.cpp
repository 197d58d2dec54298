#include "sim/frames.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace de30::sim {
namespace {

// One frame of every shape the driver sends, for pump 3, with the reply length
// the driver expects for it.
struct TShape {
  TBytes Command;
  std::size_t Reply;
};
const std::vector<TShape> Shapes = {
    {{0x19}, 3},                         // poll
    {{0x1B}, 3},                         // poll, authorised
    {{0x1A, 0xB4}, 16},                  // fill data
    {{0x02, 0x87}, 16},                  // totals, one group
    {{0x02, 0x2D}, 28},                  // totals, two groups
    {{0x02, 0x78}, 16},                  // totals, second
    {{0x02, 0x1E}, 28},                  // totals, second
    {{0x1C, 0xE1}, 2},                   // start
    {{0x1C, 0xD2}, 2},                   // stop
    {{0x1C, 0x0F, 0x00, 0x12, 0x34}, 5}, // dose
    {{0x1C, 0x69, 0x45, 0x50}, 4},       // one price
    {{0x1C, 0x4B, 0x45, 0x50, 0x02, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00}, 12}, // prices
    {{0x1C, 0x96, 0x05, 0xFA}, 4},                                                  // unblock
    {{0x1D, 0xE2}, 1},                                                              // execute
    {{0x1E}, 5},                                                                    // nozzles
    {{0x1F, 0xE0}, 3}, // re-initialise
};

TBytes Framed(const TBytes &Command) {
  // Sized first: GCC 12 at -O2 misreads an insert into a one-byte vector.
  TBytes Frame(1 + Command.size(), 0x00);
  std::copy(Command.begin(), Command.end(), Frame.begin() + 1);
  return Frame;
}

TEST(FrameParser, CutsEveryCommandOutOfOneStreamWithItsReplyLength) {
  TBytes Stream;
  for (const TShape &S : Shapes) {
    const TBytes F = Framed(S.Command);
    Stream.insert(Stream.end(), F.begin(), F.end());
  }
  TFrameParser Parser;
  const auto Commands = Parser.Feed(Stream.data(), Stream.size());
  ASSERT_EQ(Commands.size(), Shapes.size());
  for (std::size_t I = 0; I < Shapes.size(); ++I) {
    EXPECT_EQ(Commands[I], Shapes[I].Command) << "frame " << I;
    EXPECT_EQ(ReplyLength(Commands[I]), Shapes[I].Reply) << "frame " << I;
  }
  EXPECT_EQ(Parser.Garbage(), 0u);
}

TEST(FrameParser, JoinsAFrameSplitAcrossReads) {
  const TBytes F = Framed(Shapes[11].Command);
  TFrameParser Parser;
  for (std::size_t I = 0; I + 1 < F.size(); ++I)
    EXPECT_TRUE(Parser.Feed(&F[I], 1).empty());
  const auto Done = Parser.Feed(&F.back(), 1);
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0], Shapes[11].Command);
}

TEST(FrameParser, SkipsGarbageAndRecoversOnTheNextFrame) {
  TFrameParser Parser;
  // Noise without a 0x00, a frame with command number 0, and a command 4 with a
  // code byte no command has; then a good poll.
  const TBytes Noise = {0x55, 0xAA, 0x00, 0x18, 0x00, 0x1C, 0x33, 0x00, 0x19};
  const auto Done = Parser.Feed(Noise.data(), Noise.size());
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0], TBytes{0x19});
  EXPECT_EQ(Parser.Garbage(), 5u);
}

TEST(FrameParser, AFrameCutShortGivesWayToTheNextOne) {
  TFrameParser Parser;
  // A fill request that lost its code byte, then a poll.
  const TBytes Stream = {0x00, 0x1A, 0x00, 0x19};
  const auto Done = Parser.Feed(Stream.data(), Stream.size());
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0], TBytes{0x19});
  EXPECT_EQ(Parser.Garbage(), 1u);
}

TEST(FrameParser, TakesRepeatedZeroBytesAsIdleLine) {
  TFrameParser Parser;
  const TBytes Stream = {0x00, 0x00, 0x00, 0x1D, 0xE2};
  const auto Done = Parser.Feed(Stream.data(), Stream.size());
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0], (TBytes{0x1D, 0xE2}));
  EXPECT_EQ(Parser.Garbage(), 0u);
}

TEST(FrameParser, KnowsWhichCommandsHaveNoLength) {
  EXPECT_FALSE(CommandLength(0x18, 0)); // command number 0
  EXPECT_FALSE(CommandLength(0x1C, 0x33));
  EXPECT_FALSE(CommandLength(0x1A, 0x00)); // a read that asks for nothing
  EXPECT_TRUE(LengthNeedsCode(0x1C));
  EXPECT_TRUE(LengthNeedsCode(0x1A));
  EXPECT_FALSE(LengthNeedsCode(0x1D));
}

} // namespace
} // namespace de30::sim
