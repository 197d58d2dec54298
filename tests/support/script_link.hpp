#pragma once
// A line for channel tests: records what is written, answers each frame from a
// script, carries scripted noise between frames, and opens (or refuses to open)
// on demand.

#include "channels/line_channel.hpp"

#include <deque>
#include <string>
#include <vector>

namespace de30::test {

struct TLinkScript {
  std::vector<std::vector<std::uint8_t>> Written;
  // One per frame, for the first read after it; short ones time out.
  std::deque<std::vector<std::uint8_t>> Replies;
  std::vector<std::chrono::milliseconds> Timeouts; // of the reads that wait for a reply
  // Bytes the line carries between frames, and the timeouts of the reads that
  // waited there. Babble: the line never stops talking.
  std::deque<std::uint8_t> Noise;
  bool Babble = false;
  std::vector<std::chrono::milliseconds> QuietWaits;
  int Discards = 0;
  bool CloseAfterReply = false; // a read that runs short reports the line closed
  bool WriteFails = false;
};

class TScriptLink final : public channels::TLink {
public:
  explicit TScriptLink(TLinkScript &Shared) : Script(Shared) {}
  void Discard() override { ++Script.Discards; }
  bool Pending() override { return Script.Babble || !Script.Noise.empty(); }
  bool Write(const std::uint8_t *Data, std::size_t Count) override {
    Script.Written.emplace_back(Data, Data + Count);
    Answering = true;
    return !Script.WriteFails;
  }
  TRead Read(std::uint8_t *Dest, std::size_t Count,
             std::chrono::milliseconds Timeout) override {
    TRead Result;
    if (!Answering) {
      Script.QuietWaits.push_back(Timeout);
      for (; Result.Count < Count && (Script.Babble || !Script.Noise.empty()); ++Result.Count) {
        Dest[Result.Count] = Script.Babble ? 0xEE : Script.Noise.front();
        if (!Script.Babble)
          Script.Noise.pop_front();
      }
      return Result;
    }
    Answering = false;
    Script.Timeouts.push_back(Timeout);
    if (Script.Replies.empty())
      return Result;
    const auto Reply = Script.Replies.front();
    Script.Replies.pop_front();
    for (; Result.Count < Count && Result.Count < Reply.size(); ++Result.Count)
      Dest[Result.Count] = Reply[Result.Count];
    Result.Closed = Result.Count < Count && Script.CloseAfterReply;
    return Result;
  }

private:
  TLinkScript &Script;
  bool Answering = false; // a frame went out and its reply has not been read
};

// A channel whose lines are script links; Refuse makes opening fail.
class TScriptLineChannel final : public channels::TLineChannel {
public:
  TLinkScript Script;
  int Opens = 0;
  std::int32_t OpenedAt = 0;
  std::int32_t Refuse = channels::ErrNone;
  std::string Reason; // what a refused open says about itself

protected:
  std::unique_ptr<channels::TLink> Open(std::int32_t Line, std::int32_t BaudRate,
                                        std::int32_t &Error) override {
    ++Opens;
    OpenedAt = BaudRate;
    if (Refuse != channels::ErrNone) {
      Error = Refuse;
      if (!Reason.empty())
        Explain(Line, Reason);
      return nullptr;
    }
    return std::make_unique<TScriptLink>(Script);
  }
};

} // namespace de30::test
