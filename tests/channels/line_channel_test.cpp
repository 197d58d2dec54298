// The channel contract as every de30 channel implements it.
#include "support/script_link.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <thread>

namespace de30::test {
namespace {

using namespace std::chrono_literals;
using channels::StateFailed;

struct TCheckCall {
  int Calls = 0;
  std::int32_t Line = 0;
  std::vector<std::uint8_t> A, B;
  bool Verdict = true;
  TComChannel *Channel = nullptr;
};

bool RecordCheck(void *Data, std::int32_t Line, const std::uint8_t *A, const std::uint8_t *B) {
  auto &Call = *static_cast<TCheckCall *>(Data);
  ++Call.Calls;
  Call.Line = Line;
  Call.A.assign(A, A + 2);
  Call.B.assign(B, B + 3);
  Call.Channel->SetState(Line, Call.Verdict ? 1 : 3);
  Call.Channel->SetError(Line, Call.Verdict ? 0 : 219);
  return Call.Verdict;
}

class LineChannel : public ::testing::Test {
protected:
  LineChannel() { Check.Channel = &Channel; }
  std::int32_t Poll(std::uint8_t Lead = 0x19) {
    const std::uint8_t Frame[] = {0x00, Lead, 0x42};
    Reply[0] = Lead;
    Channel.SetReplyCheck(2, RecordCheck, &Check);
    return Channel.Transact(2, 2, Frame, 3, Reply, 3, Lead);
  }
  TScriptLineChannel Channel;
  TCheckCall Check;
  std::uint8_t Reply[8] = {};
};

TEST_F(LineChannel, SetupOpensTheLineAtItsBaudRate) {
  EXPECT_EQ(Channel.SetupLine(2, 15, 2400), 0);
  EXPECT_EQ(Channel.Opens, 1);
  EXPECT_EQ(Channel.OpenedAt, 2400);
  EXPECT_EQ(Channel.LastError(2), 0);
}

TEST_F(LineChannel, SetupReportsALineThatCannotBeOpened) {
  Channel.Refuse = channels::ErrOpenFailed;
  EXPECT_EQ(Channel.SetupLine(2, 15, 2400), channels::ErrOpenFailed);
  EXPECT_EQ(Channel.LastError(2), channels::ErrOpenFailed);
  EXPECT_EQ(Channel.GetState(2), StateFailed);
  EXPECT_EQ(Channel.SetupLine(2, 0, 2400), channels::ErrBadFrame);
}

TEST_F(LineChannel, ATransactionWritesTheFrameAndChecksCommandBytesAgainstTheReply) {
  Channel.SetupLine(2, 15, 2400);
  Channel.Script.Replies.push_back({0x19, 0x0A, 0xF5});
  EXPECT_EQ(Poll(), 0);
  ASSERT_EQ(Channel.Script.Written.size(), 1u);
  EXPECT_EQ(Channel.Script.Written[0], (std::vector<std::uint8_t>{0x00, 0x19, 0x42}));
  EXPECT_EQ(Channel.Script.Discards, 1);
  EXPECT_EQ(Check.Calls, 1);
  EXPECT_EQ(Check.Line, 2);
  EXPECT_EQ(Check.A, (std::vector<std::uint8_t>{0x19, 0x42})); // the frame without 0x00
  EXPECT_EQ(Check.B, (std::vector<std::uint8_t>{0x19, 0x0A, 0xF5}));
  EXPECT_EQ(Reply[1], 0x0A);
  EXPECT_EQ(Channel.GetState(2), 1);
}

TEST_F(LineChannel, ARejectedReplyReturnsZeroWithTheChecksVerdictInTheState) {
  Channel.SetupLine(2, 15, 2400);
  Channel.Script.Replies.push_back({0x55, 0x0A, 0xF5});
  Check.Verdict = false;
  EXPECT_EQ(Poll(), 0);
  EXPECT_EQ(Channel.GetState(2), 3);
  EXPECT_EQ(Channel.LastError(2), channels::ErrRejected);
}

TEST_F(LineChannel, MissingShortAndClosedRepliesGiveTheirErrorsWithoutACheck) {
  Channel.SetupLine(2, 15, 2400);
  EXPECT_EQ(Poll(), channels::ErrTimeout);
  EXPECT_EQ(Channel.GetState(2), StateFailed);
  EXPECT_EQ(Channel.LastError(2), channels::ErrTimeout);

  Channel.Script.Replies.push_back({0x19});
  EXPECT_EQ(Poll(), channels::ErrShortReply);
  EXPECT_EQ(Reply[1], 0); // a short reply leaves the buffer alone

  Channel.Script.CloseAfterReply = true;
  Channel.Script.Replies.push_back({});
  EXPECT_EQ(Poll(), channels::ErrClosed);
  EXPECT_EQ(Check.Calls, 0);
  EXPECT_EQ(Channel.Opens, 1);
  // The closed line is opened again for the next transaction.
  Channel.Script.Replies.push_back({0x19, 0x00, 0xFF});
  EXPECT_EQ(Poll(), 0);
  EXPECT_EQ(Channel.Opens, 2);
}

std::int32_t SetupThroughChannel(void *Data, std::int32_t Line) {
  return static_cast<TComChannel *>(Data)->SetupLine(Line, 15, 4800);
}

TEST_F(LineChannel, AnUnopenedLineIsOpenedThroughTheRegisteredSetUp) {
  Channel.SetLineSetup(2, SetupThroughChannel, &Channel);
  Channel.Script.Replies.push_back({0x19, 0x00, 0xFF});
  EXPECT_EQ(Poll(), 0);
  EXPECT_EQ(Channel.OpenedAt, 4800);
}

TEST_F(LineChannel, AnUnopenableLineFailsEveryTransactionWithItsError) {
  Channel.Refuse = channels::ErrNoSuchLine;
  EXPECT_EQ(Poll(), channels::ErrNoSuchLine);
  EXPECT_EQ(Poll(), channels::ErrNoSuchLine);
  EXPECT_EQ(Channel.GetState(2), StateFailed);
}

TEST_F(LineChannel, AWriteFailureClosesTheLine) {
  Channel.SetupLine(2, 15, 2400);
  Channel.Script.WriteFails = true;
  EXPECT_EQ(Poll(), channels::ErrWriteFailed);
  Channel.Script.WriteFails = false;
  Channel.Script.Replies.push_back({0x19, 0x00, 0xFF});
  EXPECT_EQ(Poll(), 0);
  EXPECT_EQ(Channel.Opens, 2);
}

TEST_F(LineChannel, AFrameWithoutCommandBytesIsRefused) {
  const std::uint8_t Frame[] = {0x00};
  EXPECT_EQ(Channel.Transact(2, 2, Frame, 1, Reply, 3, 0), channels::ErrBadFrame);
  EXPECT_EQ(Channel.Transact(2, 2, nullptr, 2, Reply, 3, 0), channels::ErrBadFrame);
  EXPECT_TRUE(Channel.Script.Written.empty());
}

TEST_F(LineChannel, TheTimeoutIsTheSetUpParameterInTenthsPlusTheReplysOwnTime) {
  Channel.SetupLine(2, 15, 2400);
  // 16 bytes of 10 bits at 2400 baud take 67 ms, rounded up.
  EXPECT_EQ(Channel.ReplyTimeout(2, 16), 1500ms + 67ms);
  Channel.SetupLine(3, 5, 9600);
  EXPECT_EQ(Channel.ReplyTimeout(3, 3), 500ms + 4ms);
  Channel.SetReplyTimeout(200ms);
  EXPECT_EQ(Channel.ReplyTimeout(2, 16), 200ms + 67ms);
  Channel.Script.Replies.push_back({0x19, 0x00, 0xFF});
  Poll();
  EXPECT_EQ(Channel.Script.Timeouts.back(), 200ms + 13ms);
}

TEST_F(LineChannel, TheLastErrorInWordsCarriesTheReasonTheLineCouldNotBeOpened) {
  Channel.Refuse = channels::ErrOpenFailed;
  Channel.Reason = "/dev/ttyS9: no such file or directory";
  Channel.SetupLine(2, 15, 2400);
  EXPECT_EQ(Channel.LastErrorText(2),
            "cannot open the line: /dev/ttyS9: no such file or directory");
  // Once the line opens, the old reason is gone with the error.
  Channel.Refuse = channels::ErrNone;
  Channel.SetupLine(2, 15, 2400);
  EXPECT_EQ(Channel.LastErrorText(2), "no error");
  EXPECT_EQ(Poll(), channels::ErrTimeout);
  EXPECT_EQ(Channel.LastErrorText(2), "no reply (timeout)");
}

// What the line did in one exchange, and what the next frame does about it.
struct TSettleCase {
  const char *What;
  std::vector<std::uint8_t> Reply; // the first exchange's, empty for none
  bool Verdict = true;             // the reply check's on it
  bool Close = false;              // the line closes instead of answering
  std::deque<std::uint8_t> Late;   // bytes that come after the exchange
  bool Waits = false;              // the next frame waits for the line to fall quiet
};

TEST_F(LineChannel, AfterAFailedExchangeTheNextFrameWaitsForTheLineToFallQuiet) {
  const std::vector<TSettleCase> Cases = {
      {"an accepted reply", {0x19, 0x00, 0xFF}, true, false, {}, false},
      {"an accepted reply with bytes trailing it",
       {0x19, 0x00, 0xFF},
       true,
       false,
       {0xFF, 0xFF},
       true},
      {"a rejected reply", {0x55, 0x00, 0xFF}, false, false, {}, true},
      {"a rejected reply with its own reply behind it",
       {0x55, 0x19, 0x00},
       false,
       false,
       {0xFF},
       true},
      {"no reply", {}, true, false, {}, true},
      {"no reply, then a late one", {}, true, false, {0x19, 0x00, 0xFF}, true},
      {"a short reply", {0x19}, true, false, {}, true},
      // A closed line is opened afresh: nothing of the old one can reach it.
      {"a closed line", {}, true, true, {}, false},
  };
  for (const TSettleCase &Case : Cases) {
    SCOPED_TRACE(Case.What);
    TScriptLineChannel Lines;
    TCheckCall Verdicts;
    Verdicts.Channel = &Lines;
    std::vector<channels::TTraceRecord> Records;
    Lines.SetTracer([&](const channels::TTraceRecord &R) { Records.push_back(R); });
    const auto Poll = [&](std::uint8_t Lead) {
      const std::uint8_t Frame[] = {0x00, Lead, 0x42};
      std::uint8_t Buffer[3] = {Lead};
      Lines.SetReplyCheck(2, RecordCheck, &Verdicts);
      return Lines.Transact(2, 2, Frame, 3, Buffer, 3, Lead);
    };
    Lines.SetupLine(2, 15, 2400);
    Lines.Script.Replies.push_back(Case.Reply);
    Lines.Script.CloseAfterReply = Case.Close;
    Verdicts.Verdict = Case.Verdict;
    Poll(0x19);
    Lines.Script.Noise = Case.Late;
    Lines.Script.CloseAfterReply = false;
    Lines.Script.Replies.push_back({0x19, 0x00, 0xFF});
    Verdicts.Verdict = true;
    EXPECT_EQ(Poll(0x19), 0);
    EXPECT_EQ(Lines.GetState(2), 1);
    ASSERT_EQ(Records.size(), 2u);
    EXPECT_EQ(Records[1].Dropped, Case.Late.size());
    EXPECT_FALSE(Records[1].NotQuiet);
    EXPECT_TRUE(Lines.Script.Noise.empty());
    if (!Case.Waits) {
      EXPECT_TRUE(Lines.Script.QuietWaits.empty());
      continue;
    }
    // One read for each byte let die down, and one that heard nothing; none
    // waits longer than the gap.
    ASSERT_EQ(Lines.Script.QuietWaits.size(), Case.Late.size() + 1);
    for (const auto Wait : Lines.Script.QuietWaits)
      EXPECT_LE(Wait, Lines.QuietGap(2));
    EXPECT_GT(Lines.Script.QuietWaits.back(), 0ms);
  }
}

TEST_F(LineChannel, TimeTheHostTakesBeforeTheNextFrameCountsTowardsTheQuietGap) {
  Channel.SetupLine(2, 15, 2400);
  EXPECT_EQ(Poll(), channels::ErrTimeout);
  std::this_thread::sleep_for(Channel.QuietGap(2));
  Channel.Script.Replies.push_back({0x19, 0x00, 0xFF});
  EXPECT_EQ(Poll(), 0);
  // The line was listened to without waiting, and found quiet.
  EXPECT_EQ(Channel.Script.QuietWaits, std::vector<std::chrono::milliseconds>{0ms});
}

TEST_F(LineChannel, ALineThatNeverFallsQuietHoldsTheFrameBackUpToTheLimitAndSaysSo) {
  // At 115200 baud the gap is its floor, and the limit short.
  Channel.SetupLine(2, 15, 115200);
  std::vector<channels::TTraceRecord> Records;
  Channel.SetTracer([&](const channels::TTraceRecord &R) { Records.push_back(R); });
  EXPECT_EQ(Poll(), channels::ErrTimeout);
  Channel.Script.Babble = true;
  const auto Before = std::chrono::system_clock::now();
  EXPECT_EQ(Poll(), channels::ErrTimeout);
  ASSERT_EQ(Records.size(), 2u);
  EXPECT_TRUE(Records[1].NotQuiet);
  EXPECT_GT(Records[1].Dropped, 0u);
  EXPECT_GE(Records[1].SentAt - Before, Channel.QuietLimit(2));
  EXPECT_EQ(Channel.Script.Written.size(), 2u); // the frame went out all the same
  EXPECT_EQ(Channel.LastErrorText(2),
            "no reply (timeout) (the line never fell quiet before the frame)");
  // Once it has, the note is gone.
  Channel.Script.Babble = false;
  Channel.Script.Replies.push_back({0x19, 0x00, 0xFF});
  EXPECT_EQ(Poll(), 0);
  EXPECT_FALSE(Records.back().NotQuiet);
  EXPECT_EQ(Poll(), channels::ErrTimeout);
  EXPECT_EQ(Channel.LastErrorText(2), "no reply (timeout)");
}

TEST(QuietGap, IsFourByteTimesAtTheLinesBaudRateWithAFloorAndALimitOfSixteen) {
  struct TRow {
    std::int32_t Baud;
    std::chrono::milliseconds Gap;
  };
  // Ten bits a byte, rounded up to whole milliseconds.
  for (const TRow Row : std::vector<TRow>{
           {1200, 34ms}, {2400, 17ms}, {4800, 9ms}, {9600, 5ms}, {19200, 5ms}, {115200, 5ms}}) {
    TScriptLineChannel Lines;
    Lines.SetupLine(1, 15, Row.Baud);
    EXPECT_EQ(Lines.QuietGap(1), Row.Gap) << Row.Baud;
    EXPECT_EQ(Lines.QuietLimit(1), 16 * Row.Gap) << Row.Baud;
  }
}

// A link as an integrator writes it: Write and Read only.
class TPlainLink final : public channels::TLink {
public:
  explicit TPlainLink(std::deque<std::uint8_t> &Input) : Pending(Input) {}
  bool Write(const std::uint8_t *, std::size_t) override { return true; }
  TRead Read(std::uint8_t *Dest, std::size_t Count, std::chrono::milliseconds) override {
    TRead Result;
    for (; Result.Count < Count && !Pending.empty(); ++Result.Count) {
      Dest[Result.Count] = Pending.front();
      Pending.pop_front();
    }
    return Result;
  }

private:
  std::deque<std::uint8_t> &Pending;
};

class TPlainChannel final : public channels::TLineChannel {
public:
  std::deque<std::uint8_t> Input;

protected:
  std::unique_ptr<channels::TLink> Open(std::int32_t, std::int32_t, std::int32_t &) override {
    return std::make_unique<TPlainLink>(Input);
  }
};

TEST(PlainLink, InputLeftFromALateReplyIsDroppedBeforeTheNextFrame) {
  TPlainChannel Channel;
  TCheckCall Check;
  Check.Channel = &Channel;
  Channel.SetupLine(1, 15, 2400);
  // 70 bytes of a late reply, more than one read of the default discard takes.
  Channel.Input.assign(70, 0x55);
  const std::uint8_t Frame[] = {0x00, 0x19};
  std::uint8_t Reply[3] = {0x19};
  Channel.SetReplyCheck(1, RecordCheck, &Check);
  EXPECT_EQ(Channel.Transact(1, 1, Frame, 2, Reply, 3, 0x19), channels::ErrTimeout);
  EXPECT_TRUE(Channel.Input.empty());
  EXPECT_EQ(Check.Calls, 0);
}

TEST_F(LineChannel, LinesKeepTheirStateApart) {
  Channel.SetState(1, 1);
  Channel.SetError(1, 0);
  Channel.SetState(2, 3);
  Channel.SetError(2, 219);
  EXPECT_EQ(Channel.GetState(1), 1);
  EXPECT_EQ(Channel.GetState(2), 3);
  EXPECT_EQ(Channel.LastError(1), 0);
  EXPECT_EQ(Channel.LastError(2), 219);
  EXPECT_EQ(Channel.GetState(7), channels::StateUnused);
}

} // namespace
} // namespace de30::test
