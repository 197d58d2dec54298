#include "capture/replay.hpp"

namespace de30::capture {

TReplayLine::TReplayLine(std::vector<TCapturedExchange> Exchanges) {
  for (auto &E : Exchanges)
    if (E.Outcome != TOutcome::ChannelError && !E.ReplyMissing)
      Serve.push_back(std::move(E));
  Used.assign(Serve.size(), false);
  for (std::size_t I = 0; I < Serve.size(); ++I)
    Waiting[Serve[I].Frame].push_back(I);
}

const TCapturedExchange *TReplayLine::Answer(const std::vector<std::uint8_t> &Frame) {
  const auto Queue = Waiting.find(Frame);
  if (Queue == Waiting.end() || Queue->second.empty()) {
    ++UnmatchedCount;
    const auto [Seen, First] = MissingAt.emplace(Frame, Missing.size());
    if (First)
      Missing.emplace_back(Frame, 0);
    ++Missing[Seen->second].second;
    return nullptr;
  }
  const std::size_t At = Queue->second.front();
  Queue->second.pop_front();
  Used[At] = true;
  ++ServedCount;
  while (Next < Used.size() && Used[Next])
    ++Next;
  return &Serve[At];
}

} // namespace de30::capture
