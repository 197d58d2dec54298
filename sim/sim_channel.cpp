#include "sim/sim_channel.hpp"

#include "sim/line_pacer.hpp"

#include <algorithm>
#include <deque>
#include <thread>

namespace de30::sim {
namespace {

class TSimLink final : public channels::TLink {
public:
  TSimLink(TSimStation &Served, std::int32_t Number, int BaudRate)
      : Station(Served), Line(Number), Pacer(BaudRate) {}

  void Discard() override { Replies.clear(); }

  bool Write(const std::uint8_t *Data, std::size_t Count) override {
    // The pump answers once the frame's last byte has crossed.
    Pacer.Carry(TLinePacer::TClock::now(), Count);
    for (TReply &Reply : Station.Receive(Line, Data, Count))
      Replies.push_back(std::move(Reply));
    return true;
  }

  TRead Read(std::uint8_t *Dest, std::size_t Count,
             std::chrono::milliseconds Timeout) override {
    const auto Began = TLinePacer::TClock::now();
    TRead Result;
    std::int64_t Waited = 0;
    while (Result.Count < Count && !Replies.empty()) {
      TReply &Next = Replies.front();
      Waited = std::max(Waited, Next.DelayMs);
      if (Waited > Timeout.count()) {
        // It comes after the host has stopped waiting. On a real line it would
        // reach the next exchange unless that one flushed its input first; here no
        // time passes between exchanges, so it is simply lost.
        Replies.clear();
        break;
      }
      const std::size_t Take = std::min(Count - Result.Count, Next.Bytes.size());
      Pacer.Carry(Began + std::chrono::milliseconds(Waited), Take);
      std::copy_n(Next.Bytes.begin(), Take, Dest + Result.Count);
      Result.Count += Take;
      Next.Bytes.erase(Next.Bytes.begin(),
                       Next.Bytes.begin() + static_cast<std::ptrdiff_t>(Take));
      if (Next.Bytes.empty())
        Replies.pop_front();
    }
    // A paced read that runs short waits out its timeout, as on a line.
    if (Pacer.On() && Result.Count < Count)
      std::this_thread::sleep_until(Began + Timeout);
    return Result;
  }

private:
  TSimStation &Station;
  std::int32_t Line;
  TLinePacer Pacer;
  std::deque<TReply> Replies;
};

} // namespace

std::unique_ptr<channels::TLink> TSimChannel::Open(std::int32_t Line, std::int32_t,
                                                   std::int32_t &Error) {
  if (!Station.HasLine(Line)) {
    Error = channels::ErrNoSuchLine;
    return nullptr;
  }
  return std::make_unique<TSimLink>(Station, Line, Baud);
}

} // namespace de30::sim
