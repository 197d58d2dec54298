#include "capture/host_codes.hpp"

#include "de30/driver_state.hpp"
#include "de30/status_record.hpp"
#include "protocol/nozzles.hpp"
#include "protocol/status.hpp"
#include "protocol/vocabulary.hpp"

#include <set>

namespace de30::capture {

using namespace de30::protocol;

namespace {

// Where the shadow's own exchanges go: the driver's translation re-initialises a
// pump after some status bytes, and a tap must never send. The re-initialise
// command the controller sends is heard like any other.
class TNowhere final : public TComChannel {
public:
  std::int32_t LastError(std::int32_t) override { return 0; }
  void SetError(std::int32_t, std::int32_t) override {}
  void SetState(std::int32_t, std::int32_t) override {}
  std::uint8_t GetState(std::int32_t) override { return LineAccepted; }
  std::int32_t SetupLine(std::int32_t, std::int32_t, std::int32_t) override { return 0; }
  std::int32_t Transact(std::int32_t, std::int32_t, const std::uint8_t *, std::uint8_t,
                        std::uint8_t *, std::uint8_t, std::uint8_t) override {
    return 0;
  }
  void SetReplyCheck(std::int32_t, TReplyCheck, void *) override {}
  void SetLineSetup(std::int32_t, TLineSetup, void *) override {}
};

class TNoPause final : public TPauser {
public:
  void Pause(std::uint32_t) override {}
};

} // namespace

struct THostCodes::TShadow {
  TNowhere Channel;
  TNoPause Pauser;
  TDriverState State{&Channel, Pauser};
  // Pumps whose last command 4 was a start that went through, by (line, pump).
  std::set<std::pair<int, int>> Starting;
};

THostCodes::THostCodes() : Shadow(std::make_unique<TShadow>()) {}
THostCodes::~THostCodes() = default;

std::optional<TDerivedCodes> THostCodes::Follow(int Line, const THeard &E) {
  if (E.Kind != THeardKind::Exchange || E.Frame.size() < 2 || Line < 1 || Line > LineCount)
    return std::nullopt;
  const std::uint8_t Lead = E.Frame[1];
  const int Pump = LeadPump(Lead);
  if (Lead == TotalsLead || Pump < 1 || Pump > PumpCount)
    return std::nullopt;
  TDriverState &D = Shadow->State;
  const auto Line8 = static_cast<std::uint8_t>(Line);
  const auto Pump8 = static_cast<std::uint8_t>(Pump);
  // The driver goes on after a whole reply, accepted or not; it stops at a failed
  // exchange and changes nothing more.
  const bool Through = E.Result() == 0;
  const bool Accepted = E.Outcome() == TOutcome::Accepted;
  const std::pair<int, int> Key{Line, Pump};

  switch (LeadCommand(Lead)) {
  case CmdSet: {
    const std::uint8_t Code = E.Frame.size() > 2 ? E.Frame[2] : NoCode;
    if (Code == CodeUnblock)
      D.AwaitIdle[Line][Pump] = 1;
    if (Code == CodeStart && Through)
      Shadow->Starting.insert(Key);
    else
      Shadow->Starting.erase(Key);
    return std::nullopt;
  }
  case CmdExecute:
    if (Through && Shadow->Starting.contains(Key)) {
      D.Authorized[Line][Pump] = 1;
      D.CountDown[Line][Pump] = StartPolls;
    }
    Shadow->Starting.erase(Key);
    return std::nullopt;
  case CmdStatus:
  case CmdStatusAuth: {
    if (!Accepted)
      return std::nullopt;
    // The command the controller chose says whether it holds the pump authorised.
    D.Authorized[Line][Pump] = LeadCommand(Lead) == CmdStatusAuth ? 1 : 0;
    TDerivedCodes Codes;
    Codes.Pump = Pump8;
    Codes.Code = TranslateSost(D, Line8, Pump8, StatusByteOf(E.Reply.data()));
    return Codes;
  }
  case CmdNozzles: {
    if (!Accepted)
      return std::nullopt;
    TSostRecord Record{};
    TDerivedCodes Codes;
    Codes.Pump = Pump8;
    for (int K = 1; K <= ReportedNozzles; ++K) {
      Record.Nozzle(K) = TranslateNozzle(D, Line8, Pump8, K, NozzleNibble(E.Reply.data(), K));
      Codes.Nozzles.push_back(Record.Nozzle(K));
    }
    SelectActiveNozzle(Record, ReportedNozzles);
    Codes.Code = Record.Sost;
    Codes.ActiveNozzle = Record.ActiveNozzle;
    return Codes;
  }
  default:
    return std::nullopt;
  }
}

TShadowPump THostCodes::Pump(int Line, int Pump) const {
  TShadowPump View;
  if (Line < 1 || Line > LineCount || Pump < 1 || Pump > PumpCount)
    return View;
  const TDriverState &D = Shadow->State;
  View.Held = D.Authorized[Line][Pump] != 0;
  View.CountDownLeft = !View.Held && D.CountDown[Line][Pump] > 0;
  View.AwaitingIdle = D.AwaitIdle[Line][Pump] != 0;
  return View;
}

} // namespace de30::capture
