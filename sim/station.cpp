#include "sim/station.hpp"

#include "de30/errors.hpp"
#include "protocol/vocabulary.hpp"

namespace de30::sim {

using namespace de30::protocol;
using TGuard = std::lock_guard<std::mutex>;

TSimStation::TSimStation(const TSimClock &StationClock) : Clock(StationClock) {}

bool TSimStation::AddPump(int Line, const TPumpConfig &Config) {
  TGuard G(Guard);
  if (Config.Address < 1 || Config.Address > 31)
    return false;
  return Lines[Line].Pumps.try_emplace(Config.Address, Config).second;
}

bool TSimStation::HasLine(int Line) const {
  TGuard G(Guard);
  return Lines.count(Line) != 0;
}

bool TSimStation::HasPump(int Line, int Address) const {
  TGuard G(Guard);
  const auto L = Lines.find(Line);
  return L != Lines.end() && L->second.Pumps.count(Address) != 0;
}

std::vector<TPumpPlace> TSimStation::Pumps() const {
  TGuard G(Guard);
  std::vector<TPumpPlace> Result;
  for (const auto &[Number, Line] : Lines)
    for (const auto &[Address, Pump] : Line.Pumps)
      Result.push_back({Number, Pump.Config()});
  return Result;
}

TSimPump *TSimStation::Find(int Line, int Address) {
  auto L = Lines.find(Line);
  if (L == Lines.end())
    return nullptr;
  auto P = L->second.Pumps.find(Address);
  return P == L->second.Pumps.end() ? nullptr : &P->second;
}

TReply TSimStation::Handle(int LineNumber, TLine &Line, const TBytes &Command) {
  const std::int64_t Now = Clock.NowMs();
  ++Line.Frames;
  TReply Reply;
  int Address = LeadPump(Command[LeadAt]);
  TSimPump *P = nullptr;
  if (Command[LeadAt] == TotalsLead) {
    Address = Line.Selected;
    P = Find(LineNumber, Address);
  } else if ((P = Find(LineNumber, Address)) != nullptr) {
    // Every pump hears every frame, but only the one it addresses takes it as its
    // own. A frame to an address where no pump listens selects nobody, so the
    // selection stays with the last pump that was addressed and is there.
    Line.Selected = Address;
  }
  // Read before the pump answers: an execute command carries out, and so drops,
  // the setting a rule may aim at.
  const TFrameAim Aim = AimOf(Command, P != nullptr ? P->PendingCode() : NoCode);
  if (P != nullptr)
    Reply.Bytes =
        Command[LeadAt] == TotalsLead ? P->AnswerTotals(Command, Now) : P->Answer(Command, Now);
  // Faults spoil only the reply: the pump has already done what the frame asked,
  // as a pump does whose answer is lost on the way back.
  if (const auto Kind = Faults.Apply(LineNumber, Address, Command, Aim, Reply)) {
    ++Line.Spoiled;
    if (KeepSpoiled)
      SpoiledReplies.push_back({Now, LineNumber, Address, *Kind, Aim});
  }
  return Reply;
}

std::vector<TReply> TSimStation::Receive(int Line, const std::uint8_t *Data,
                                         std::size_t Count) {
  TGuard G(Guard);
  std::vector<TReply> Replies;
  auto L = Lines.find(Line);
  if (L == Lines.end())
    return Replies;
  for (const TBytes &Command : L->second.Parser.Feed(Data, Count)) {
    TReply Reply = Handle(Line, L->second, Command);
    if (!Reply.Bytes.empty())
      Replies.push_back(std::move(Reply));
  }
  return Replies;
}

bool TSimStation::LiftNozzle(int Line, int Address, int Nozzle) {
  TGuard G(Guard);
  TSimPump *P = Find(Line, Address);
  return P != nullptr && P->LiftNozzle(Nozzle, Clock.NowMs());
}

bool TSimStation::HangNozzle(int Line, int Address) {
  TGuard G(Guard);
  TSimPump *P = Find(Line, Address);
  if (P != nullptr)
    P->HangNozzle(Clock.NowMs());
  return P != nullptr;
}

bool TSimStation::Fail(int Line, int Address, std::uint8_t Status) {
  TGuard G(Guard);
  TSimPump *P = Find(Line, Address);
  if (P != nullptr)
    P->Fail(Status, Clock.NowMs());
  return P != nullptr;
}

bool TSimStation::SetManual(int Line, int Address, bool Manual) {
  TGuard G(Guard);
  TSimPump *P = Find(Line, Address);
  if (P != nullptr)
    P->SetManual(Manual, Clock.NowMs());
  return P != nullptr;
}

bool TSimStation::Lock(int Line, int Address) {
  TGuard G(Guard);
  TSimPump *P = Find(Line, Address);
  if (P != nullptr)
    P->Lock(Clock.NowMs());
  return P != nullptr;
}

TPumpView TSimStation::View(int Line, int Address) {
  TGuard G(Guard);
  TSimPump *P = Find(Line, Address);
  if (P == nullptr)
    throw ERangeError("Pump", Address, 1, 31);
  P->Advance(Clock.NowMs());
  return P->View();
}

std::vector<TFillRecord> TSimStation::FillLog(int Line, int Address) {
  TGuard G(Guard);
  TSimPump *P = Find(Line, Address);
  if (P == nullptr)
    throw ERangeError("Pump", Address, 1, 31);
  P->Advance(Clock.NowMs());
  return P->FillLog();
}

void TSimStation::SetArrivals(bool Open) {
  TGuard G(Guard);
  for (auto &[Number, Line] : Lines)
    for (auto &[Address, Pump] : Line.Pumps)
      Pump.SetArrivals(Open);
}

void TSimStation::AddFault(const TFaultRule &Rule) {
  TGuard G(Guard);
  Faults.Add(Rule);
}

void TSimStation::ClearFaults() {
  TGuard G(Guard);
  Faults.Clear();
}

void TSimStation::SeedFaults(std::uint32_t Seed) {
  TGuard G(Guard);
  Faults.Reseed(Seed);
}

std::size_t TSimStation::Frames(int Line) const {
  TGuard G(Guard);
  auto L = Lines.find(Line);
  return L == Lines.end() ? 0 : L->second.Frames;
}

std::size_t TSimStation::Garbage(int Line) const {
  TGuard G(Guard);
  auto L = Lines.find(Line);
  return L == Lines.end() ? 0 : L->second.Parser.Garbage();
}

std::size_t TSimStation::Spoiled(int Line) const {
  TGuard G(Guard);
  auto L = Lines.find(Line);
  return L == Lines.end() ? 0 : L->second.Spoiled;
}

void TSimStation::KeepSpoiledLog(bool Keep) {
  TGuard G(Guard);
  KeepSpoiled = Keep;
}

std::vector<TSpoiledReply> TSimStation::SpoiledLog() const {
  TGuard G(Guard);
  return SpoiledReplies;
}

std::vector<TPumpPlace> DefaultStation(bool AutoCustomers) {
  std::vector<TPumpPlace> Places = {{1, {}}, {1, {}}, {2, {}}};
  Places[0].Pump.Address = 1;
  Places[0].Pump.Nozzles = 1;
  Places[1].Pump.Address = 2;
  Places[1].Pump.Nozzles = 2;
  Places[2].Pump.Address = 3;
  Places[2].Pump.Nozzles = 4;
  Places[2].Pump.FlowRate = 70;
  for (auto &P : Places) {
    P.Pump.AutoCustomer = AutoCustomers;
    // Customers arrive at different times.
    P.Pump.IdleMs = 3000 + 2000 * P.Pump.Address;
  }
  return Places;
}

} // namespace de30::sim
