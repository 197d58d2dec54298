#include "sim/pump.hpp"

#include "protocol/vocabulary.hpp"

#include <algorithm>

namespace de30::sim {

using namespace de30::protocol;

TSimPump::TSimPump(const TPumpConfig &Config) : Setup(Config), FaultStatus(StatusFault) {
  Setup.Nozzles = std::clamp(Setup.Nozzles, 1, MaxNozzles);
  Setup.FlowRate = std::max<std::int64_t>(Setup.FlowRate, 1);
  for (int G = 0; G < PumpGrades; ++G)
    Data.Prices[static_cast<std::size_t>(G)] = 100 * (G + 1);
}

void TSimPump::Enter(TPumpState Next, std::int64_t At) {
  Data.State = Next;
  StateSince = At;
}

TPumpState TSimPump::Resting() const {
  return Data.Lifted != 0 ? TPumpState::Calling : TPumpState::Idle;
}

bool TSimPump::LiftNozzle(int K, std::int64_t Now) {
  Advance(Now);
  return Lift(K, Now);
}

void TSimPump::HangNozzle(std::int64_t Now) {
  Advance(Now);
  Hang(Now);
}

bool TSimPump::Lift(int K, std::int64_t Now) {
  if (K < 1 || K > Setup.Nozzles || Data.Lifted != 0)
    return false;
  Data.Lifted = K;
  if (Data.State == TPumpState::Idle) {
    Enter(TPumpState::Calling, Now);
    if (Manual)
      Authorise(Now);
  } else if (Data.State == TPumpState::Authorised) {
    Data.Active = K;
    FlowFrom = Now + Setup.StartDelayMs;
  }
  return true;
}

void TSimPump::Hang(std::int64_t Now) {
  if (Data.State == TPumpState::Fuelling)
    EndFill(Now);
  Data.Lifted = 0;
  if (Data.State == TPumpState::Calling || Data.State == TPumpState::Finished)
    Enter(TPumpState::Idle, Now);
}

void TSimPump::Fail(std::uint8_t Status, std::int64_t Now) {
  Advance(Now);
  if (Data.State == TPumpState::Fuelling)
    EndFill(Now);
  FaultStatus = Status;
  Enter(TPumpState::Fault, Now);
}

void TSimPump::Lock(std::int64_t Now) {
  Advance(Now);
  if (Data.State == TPumpState::Fuelling)
    EndFill(Now);
  Enter(TPumpState::Locked, Now);
}

void TSimPump::SetManual(bool On, std::int64_t Now) {
  Advance(Now);
  Manual = On;
  if (Manual && Data.State == TPumpState::Calling)
    Authorise(Now);
}

std::int64_t TSimPump::AmountOf(std::int64_t Volume) const {
  return (Volume * FillPrice + 50) / 100;
}

std::int64_t TSimPump::FillLimit() const {
  // A dose stops the fill, a little late when the valve is slow (Overrun).
  std::int64_t Limit = Data.Dose > 0 ? std::min(Data.Dose + Setup.Overrun, MaxFillHundredths)
                                     : MaxFillHundredths;
  // A simulated customer served without a dose stops at a tank's worth: 10 to 30
  // litres, a different amount each fill.
  if (Setup.AutoCustomer && Data.Dose <= 0)
    Limit = std::min<std::int64_t>(Limit, 1000 + 500 * (Data.Fills % 5));
  // The amount has six digits too: stop before it would overflow them.
  if (FillPrice > 0)
    Limit = std::min(Limit, (MaxFillHundredths * 100) / FillPrice);
  return Limit;
}

void TSimPump::EndFill(std::int64_t At) {
  const auto Nozzle = static_cast<std::size_t>(std::max(Data.Active, 1) - 1);
  Data.TotalVolume[Nozzle] += Data.FillVolume;
  Data.TotalAmount[Nozzle] += Data.FillAmount;
  if (Setup.LogFills)
    Log.push_back({static_cast<int>(Nozzle) + 1, Data.FillVolume, Data.FillAmount, At});
  Data.Dose = 0;
  ++Data.Fills;
  Enter(Data.Lifted != 0 ? TPumpState::Finished : TPumpState::Idle, At);
}

void TSimPump::Advance(std::int64_t Now) {
  if (Data.State == TPumpState::Authorised && Data.Lifted != 0 && Now >= FlowFrom) {
    FillPrice = Data.Prices[static_cast<std::size_t>(Data.Lifted - 1)];
    Data.Active = Data.Lifted;
    Enter(TPumpState::Fuelling, FlowFrom);
  }
  if (Data.State == TPumpState::Fuelling) {
    const std::int64_t Limit = FillLimit();
    const std::int64_t Flowed = Setup.FlowRate * (Now - FlowFrom) / 1000;
    Data.FillVolume = std::min(Flowed, Limit);
    Data.FillAmount = AmountOf(Data.FillVolume);
    if (Flowed >= Limit)
      EndFill(FlowFrom + (Limit * 1000 + Setup.FlowRate - 1) / Setup.FlowRate);
  }
  if (!Setup.AutoCustomer)
    return;
  if (Data.State == TPumpState::Idle && Arrivals && Now - StateSince >= Setup.IdleMs) {
    // Customers take the nozzles in turn.
    Lift(Data.Fills % Setup.Nozzles + 1, Now);
  } else if (Data.State == TPumpState::Authorised && Data.Lifted == 0 &&
             Now - StateSince >= Setup.IdleMs) {
    // Paid in advance: the customer comes for the fill.
    Lift(Data.Fills % Setup.Nozzles + 1, Now);
  } else if (Data.State == TPumpState::Calling && Setup.WaitMs > 0 &&
             Now - StateSince >= Setup.WaitMs) {
    // Nobody served the customer: gone, and the pump idle again.
    Hang(Now);
  } else if (Data.State == TPumpState::Finished && Now - StateSince >= Setup.HangMs) {
    Hang(Now);
  }
}

void TSimPump::Authorise(std::int64_t Now) {
  if (Data.State != TPumpState::Idle && Data.State != TPumpState::Calling)
    return; // already authorised, fuelling, ended, faulty or locked
  Data.FillVolume = 0;
  Data.FillAmount = 0;
  Data.Active = Data.Lifted;
  FlowFrom = Now + Setup.StartDelayMs;
  Enter(TPumpState::Authorised, Now);
}

void TSimPump::Stop(std::int64_t Now) {
  if (Data.State == TPumpState::Fuelling)
    EndFill(Now);
  else if (Data.State == TPumpState::Authorised)
    Enter(Resting(), Now);
}

void TSimPump::Reinitialise(std::int64_t Now) {
  Pending.clear();
  if (Data.State == TPumpState::Fuelling)
    EndFill(Now);
  if (Data.State != TPumpState::Locked)
    Enter(Resting(), Now);
}

void TSimPump::Execute(std::int64_t Now) {
  const TBytes Command = std::move(Pending);
  Pending.clear();
  if (Command.size() < 2)
    return; // nothing to confirm
  switch (Command[CodeAt]) {
  case CodeStart:
    Authorise(Now);
    break;
  case CodeStop:
    Stop(Now);
    break;
  case CodeDose:
    Data.Dose = DoseOf(Command.data());
    break;
  case CodePriceOne:
    Data.Prices[0] = PriceOf(Command.data(), 1);
    break;
  case CodePriceFive:
    for (int G = 1; G <= PumpGrades; ++G)
      Data.Prices[static_cast<std::size_t>(G - 1)] = PriceOf(Command.data(), G);
    break;
  case CodeUnblock:
    Data.LastUnblockCode = UnblockCodeOf(Command.data());
    if (Data.State == TPumpState::Locked)
      Enter(Resting(), Now);
    break;
  default:
    break;
  }
}

TBytes TSimPump::StatusReply(std::uint8_t Lead) const {
  TBytes Reply(ShapeStatus.ReplyLength);
  PutStatusReply(Lead, StatusByte(), Reply.data());
  return Reply;
}

TBytes TSimPump::Answer(const TBytes &Command, std::int64_t Now) {
  Advance(Now);
  const std::uint8_t Lead = Command[0];
  switch (LeadCommand(Lead)) {
  case CmdStatus:
  case CmdStatusAuth:
    return StatusReply(Lead);
  case CmdNozzles: {
    const auto N = Nibbles();
    const std::uint8_t Each[ReportedNozzles] = {N[0], N[1], N[2], N[3]};
    TBytes Reply(ShapeNozzles.ReplyLength);
    PutNozzleReply(Lead, Each, Reply.data());
    return Reply;
  }
  case CmdRead: {
    TBytes Reply(ShapeFill.ReplyLength, 0);
    PutFillReply(Lead, std::min(Data.FillAmount, MaxFillHundredths),
                 std::min(Data.FillVolume, MaxFillHundredths), Data.Active, Reply.data());
    Reply[CodeAt] = Command[CodeAt]; // the pump echoes whatever read it was asked
    return Reply;
  }
  case CmdSet:
    // An unblock whose complement does not match is echoed but not kept.
    if (Command[CodeAt] != CodeUnblock || UnblockCodeIntact(Command.data()))
      Pending = Command;
    else
      Pending.clear();
    return Command;
  case CmdExecute:
    if (LeadComplementIntact(Command.data()))
      Execute(Now);
    return TBytes(ShapeExecute.ReplyLength, Lead);
  case CmdReinit:
    if (LeadComplementIntact(Command.data()))
      Reinitialise(Now);
    return StatusReply(Lead);
  default:
    return {};
  }
}

TBytes TSimPump::AnswerTotals(const TBytes &Command, std::int64_t Now) {
  Advance(Now);
  const std::uint8_t Code = Command[CodeAt];
  const bool Amounts = Code == TotalsSecond(1).Code || Code == TotalsSecond(2).Code;
  const TCommandShape *Shape = FindShape(Command[LeadAt], Code);
  // The frame parser hands over totals requests only; anything else gets no reply.
  if (Shape == nullptr || Shape->ReplyLength <= CodeAt)
    return {};
  const int Groups = TotalsGroups(Shape->ReplyLength);
  const auto &Totals = Amounts ? Data.TotalAmount : Data.TotalVolume;
  TBytes Reply(Shape->ReplyLength, 0);
  Reply[LeadAt] = Command[LeadAt];
  Reply[CodeAt] = Code;
  for (int G = 1; G <= Groups; ++G)
    PutTotalsGroup(Totals[static_cast<std::size_t>(G - 1)], Reply.data(), G);
  if (Setup.Totals == TTotalsLayout::Sum) {
    // The last group, the one the host reads, holds the whole pump.
    std::int64_t Sum = 0;
    for (std::int64_t T : Totals)
      Sum += T;
    PutTotalsGroup(Sum, Reply.data(), Groups);
  }
  PutTotalsNozzles(Setup.Nozzles, Reply.data(), Groups);
  return Reply;
}

std::uint8_t TSimPump::StatusByte() const {
  switch (Data.State) {
  case TPumpState::Idle:
    return StatusIdle;
  case TPumpState::Calling:
    return StatusCalling;
  case TPumpState::Authorised:
    // Authorised in advance, the pump looks idle until the customer takes a nozzle.
    return Data.Lifted != 0 ? StatusAuthorised : StatusIdle;
  case TPumpState::Fuelling:
    return StatusFuelling;
  case TPumpState::Finished:
    return StatusFinished;
  case TPumpState::Fault:
    return FaultStatus;
  case TPumpState::Locked:
    return StatusLocked;
  }
  return StatusIdle;
}

std::array<std::uint8_t, MaxNozzles> TSimPump::Nibbles() const {
  std::array<std::uint8_t, MaxNozzles> Result{};
  if (Data.Lifted == 0)
    return Result;
  std::uint8_t Nibble = NibbleIdle;
  switch (Data.State) {
  case TPumpState::Calling:
    Nibble = NibbleCalling;
    break;
  case TPumpState::Authorised:
  case TPumpState::Fuelling:
    Nibble = NibbleFlowing;
    break;
  case TPumpState::Finished:
    Nibble = NibbleFinished;
    break;
  default:
    break;
  }
  Result[static_cast<std::size_t>(Data.Lifted - 1)] = Nibble;
  return Result;
}

std::uint8_t TSimPump::PendingCode() const {
  return Pending.size() > CodeAt ? Pending[CodeAt] : NoCode;
}

TPumpView TSimPump::View() const {
  TPumpView View = Data;
  View.Status = StatusByte();
  return View;
}

} // namespace de30::sim
