#include "station/run_channel.hpp"

#include "de30/constants.hpp"
#include "station/run_scenario.hpp"

#include <algorithm>
#include <cstdio>
#include <deque>

namespace de30::station::runs {

namespace {

// Ten bit times a byte: start, eight data bits, stop.
constexpr std::int64_t BitsPerByte = 10;

// The simulated station's side of the line. A reply the pump sends later than
// the host waits is lost, as on the in-process simulated channel; one within
// the wait delays the exchange by as much.
class TSimulatedLink final : public channels::TLink {
public:
  TSimulatedLink(sim::TSimStation &Served, TRunChannel::TSeen &Under)
      : Station(Served), Seen(Under) {}

  void Discard() override { Replies.clear(); }

  bool Write(const std::uint8_t *Data, std::size_t Count) override {
    Seen.Written = true;
    for (sim::TReply &Reply : Station.Receive(RunLine, Data, Count))
      Replies.push_back(std::move(Reply));
    return true;
  }

  TRead Read(std::uint8_t *Dest, std::size_t Count,
             std::chrono::milliseconds Timeout) override {
    TRead Result;
    while (Result.Count < Count && !Replies.empty()) {
      sim::TReply &Next = Replies.front();
      if (Next.DelayMs > Timeout.count()) {
        Replies.clear();
        break;
      }
      if (Seen.Written)
        Seen.DelayMs = std::max(Seen.DelayMs, Next.DelayMs);
      const std::size_t Take = std::min(Count - Result.Count, Next.Bytes.size());
      std::copy_n(Next.Bytes.begin(), Take, Dest + Result.Count);
      Result.Count += Take;
      Next.Bytes.erase(Next.Bytes.begin(),
                       Next.Bytes.begin() + static_cast<std::ptrdiff_t>(Take));
      if (Next.Bytes.empty())
        Replies.pop_front();
    }
    if (Seen.Written)
      Seen.Reply.insert(Seen.Reply.end(), Dest, Dest + Result.Count);
    return Result;
  }

private:
  sim::TSimStation &Station;
  TRunChannel::TSeen &Seen;
  std::deque<sim::TReply> Replies;
};

// The capture's side of the line: each frame gets the reply its exchange holds,
// byte for byte, whole, short or none.
class TCapturedLink final : public channels::TLink {
public:
  TCapturedLink(TCapturedLine &Line, TRunChannel::TSeen &Under) : Captured(Line), Seen(Under) {}

  bool Write(const std::uint8_t *Data, std::size_t Count) override {
    Seen.Written = true;
    Served = 0;
    Exchange = Captured.Answer(Seen.Number, std::vector<std::uint8_t>(Data, Data + Count));
    if (Exchange != nullptr && Exchange->Reply.size() == Exchange->ReplyLength) {
      // The pump's own delay, as the capture's stamps tell it.
      const auto Took = std::chrono::duration_cast<std::chrono::milliseconds>(Exchange->DoneAt -
                                                                              Exchange->SentAt)
                            .count();
      Seen.DelayMs = std::max<std::int64_t>(0, Took - WireMs(Count) - TurnaroundMs -
                                                   WireMs(Exchange->Reply.size()));
    }
    return true;
  }

  TRead Read(std::uint8_t *Dest, std::size_t Count, std::chrono::milliseconds) override {
    TRead Result;
    if (!Seen.Written || Exchange == nullptr)
      return Result;
    Result.Count = std::min(Count, Exchange->Reply.size() - Served);
    std::copy_n(Exchange->Reply.begin() + static_cast<std::ptrdiff_t>(Served), Result.Count,
                Dest);
    Served += Result.Count;
    Seen.Reply.insert(Seen.Reply.end(), Dest, Dest + Result.Count);
    return Result;
  }

private:
  TCapturedLine &Captured;
  TRunChannel::TSeen &Seen;
  const capture::TCapturedExchange *Exchange = nullptr;
  std::size_t Served = 0;
};

} // namespace

std::string Hex(const std::vector<std::uint8_t> &Bytes) {
  std::string Text;
  for (std::uint8_t Byte : Bytes) {
    char Two[4];
    std::snprintf(Two, sizeof Two, "%02x", Byte);
    Text += (Text.empty() ? "" : " ") + std::string(Two);
  }
  return Text.empty() ? "nothing" : Text;
}

std::int64_t WireMs(std::size_t Bytes) {
  return (static_cast<std::int64_t>(Bytes) * BitsPerByte * 1000 + LineBaudRate - 1) /
         LineBaudRate;
}

capture::TClock::time_point StampOf(std::int64_t RunMs) {
  return capture::TClock::time_point(RunEpoch) + std::chrono::milliseconds(RunMs);
}

TCapturedLine::TCapturedLine(std::vector<capture::TCapturedExchange> Given)
    : Exchanges(std::move(Given)) {}

const capture::TCapturedExchange *
TCapturedLine::Answer(std::uint32_t Number, const std::vector<std::uint8_t> &Frame) {
  if (Diverged())
    return nullptr;
  const std::string Where =
      "exchange " + std::to_string(Number) + ": the station sent " + Hex(Frame);
  if (Number == 0 || Number > Exchanges.size()) {
    Miss = Where + ", the capture ends at exchange " + std::to_string(Exchanges.size());
    return nullptr;
  }
  const capture::TCapturedExchange &Exchange = Exchanges[Number - 1];
  if (Exchange.Frame != Frame) {
    Miss = Where + ", the capture holds " + Hex(Exchange.Frame);
    return nullptr;
  }
  return &Exchange;
}

std::optional<std::int64_t> TCapturedLine::SentMs(std::uint32_t Number) const {
  if (Number == 0 || Number > Exchanges.size())
    return std::nullopt;
  return std::chrono::duration_cast<std::chrono::milliseconds>(Exchanges[Number - 1].SentAt -
                                                               Exchanges.front().SentAt)
      .count();
}

TRunChannel::TRunChannel(sim::TManualClock &RunClock, sim::TSimStation &Served, TRunHooks Given)
    : Clock(RunClock), Station(&Served), Hooks(std::move(Given)) {}

TRunChannel::TRunChannel(sim::TManualClock &RunClock, TCapturedLine &Line, TRunHooks Given)
    : Clock(RunClock), Captured(&Line), Hooks(std::move(Given)) {}

TRunChannel::~TRunChannel() = default;

std::unique_ptr<channels::TLink> TRunChannel::Open(std::int32_t Line, std::int32_t,
                                                   std::int32_t &Error) {
  if (Line != RunLine) {
    Error = channels::ErrNoSuchLine;
    return nullptr;
  }
  if (Station != nullptr)
    return std::make_unique<TSimulatedLink>(*Station, Seen);
  return std::make_unique<TCapturedLink>(*Captured, Seen);
}

std::int32_t TRunChannel::Transact(std::int32_t Line, std::int32_t Line2,
                                   const std::uint8_t *Frame, std::uint8_t FrameLength,
                                   std::uint8_t *Reply, std::uint8_t ReplyLength,
                                   std::uint8_t Lead) {
  const std::uint32_t Number = ++Exchanges;
  if (!Hooks.Before(Number)) {
    // The run is over: the line falls silent, and whatever the station makes of
    // that is no part of the run.
    SetState(Line, channels::StateFailed);
    SetError(Line, channels::ErrClosed);
    return channels::ErrClosed;
  }
  Seen = TSeen{};
  Seen.Number = Number;
  if (Number == 1)
    FirstMs = Clock.NowMs();
  if (Captured != nullptr)
    if (const auto Sent = Captured->SentMs(Number); Sent && FirstMs + *Sent > Clock.NowMs())
      Clock.Advance(FirstMs + *Sent - Clock.NowMs());
  const std::int64_t SentMs = Clock.NowMs();
  // The pump hears the frame once it has crossed the line.
  Clock.Advance(WireMs(FrameLength) + TurnaroundMs);
  const std::int32_t Result =
      TLineChannel::Transact(Line, Line2, Frame, FrameLength, Reply, ReplyLength, Lead);
  if (Seen.Written) {
    if (Seen.Reply.size() == ReplyLength)
      Clock.Advance(Seen.DelayMs + WireMs(ReplyLength));
    else
      Clock.Advance(
          std::max<std::int64_t>(0, ReplyTimeout(Line, ReplyLength).count() - TurnaroundMs));
  }
  channels::TTraceRecord Record;
  Record.Line = Line;
  if (Frame != nullptr)
    Record.Frame.assign(Frame, Frame + FrameLength);
  Record.Reply = Seen.Reply;
  Record.ReplyLength = ReplyLength;
  Record.Result = Result;
  Record.State = GetState(Line);
  Record.SentAt = StampOf(SentMs);
  Record.DoneAt = StampOf(Clock.NowMs());
  if (Hooks.After)
    Hooks.After(Record);
  return Result;
}

} // namespace de30::station::runs
