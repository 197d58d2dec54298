#include "demo.hpp"

#include "commands.hpp"
#include "exit_codes.hpp"
#include "protocol/vocabulary.hpp"
#include "transport.hpp"

#include <cmath>
#include <cstdio>
#include <vector>

namespace de30::ctl {
namespace {

constexpr std::int64_t StepMs = 1000;
constexpr int MaxSteps = 600; // ten simulated minutes: no fill of the demo takes that long

class TDemo {
public:
  TDemo(TTransport &Used, TVM30 &Driver) : Transport(Used), Session{Used, Driver} {}

  int Run();

private:
  void Check(bool Holds, const std::string &What) {
    std::printf("    %s %s\n", Holds ? "ok:" : "FAILED:", What.c_str());
    Failures += Holds ? 0 : 1;
  }
  std::uint8_t PollShown(const TPumpRef &Pump, int Nozzles);
  void Transaction(const TPumpRef &Pump, int Nozzles, int Nozzle, double Litres, double Money,
                   int Grade);
  std::pair<double, double> Totals(const TPumpRef &Pump, int Nozzles);
  void StoppedFill(const TPumpRef &Pump);
  void FaultAndLock(const TPumpRef &Pump);

  TTransport &Transport;
  TSession Session;
  int Failures = 0;
};

std::uint8_t TDemo::PollShown(const TPumpRef &Pump, int Nozzles) {
  const TSostRecord Record = PollRecord(Session, Pump, Nozzles);
  return Record.Sost;
}

std::pair<double, double> TDemo::Totals(const TPumpRef &Pump, int Nozzles) {
  PollRecord(Session, Pump, Nozzles);
  double Volume = 0;
  double Amount = 0;
  Session.Driver.GetTotals(Pump.Line, Pump.Pump, Volume, Amount);
  std::printf("    pump %d:%d totals: %s l, %s\n", Pump.Line, Pump.Pump, Money(Volume).c_str(),
              Money(Amount).c_str());
  return {Volume, Amount};
}

void TDemo::Transaction(const TPumpRef &Pump, int Nozzles, int Nozzle, double Litres,
                        double Amount, int Grade) {
  sim::TSimStation &Station = *Transport.Simulated();
  sim::TManualClock &Clock = *Transport.Manual();
  TVM30 &Driver = Session.Driver;
  const auto Before = Totals(Pump, Nozzles);

  std::vector<std::uint8_t> Seen;
  Station.LiftNozzle(Pump.Line, Pump.Pump, Nozzle);
  Seen.push_back(PollShown(Pump, Nozzles));
  std::printf("    customer lifts nozzle %d: %s\n", Nozzle,
              DescribeStatus(Seen.back()).c_str());

  if (Litres > 0) {
    Driver.SetDoseLitres(Pump.Line, Pump.Pump, Litres);
    std::printf("    dose %s l preset\n", Money(Litres).c_str());
  } else {
    Driver.SetDoseMoney(Pump.Line, Pump.Pump, Grade, Amount);
    Litres = std::round(Amount / Driver.Prices()[Pump.Line][Pump.Pump][Grade] * 100) / 100;
    std::printf("    dose for %s at grade %d preset (%s l)\n", Money(Amount).c_str(), Grade,
                Money(Litres).c_str());
  }
  Driver.StartPump(Pump.Line, Pump.Pump);
  std::printf("    authorised\n");

  double Volume = 0;
  double Paid = 0;
  for (int Step = 0; Step < MaxSteps; ++Step) {
    const std::uint8_t Code = PollShown(Pump, Nozzles);
    Volume = Driver.ReadFill(Pump.Line, Pump.Pump, Paid);
    if (Seen.back() != Code || Step % 4 == 0)
      std::printf("    t+%3llds  %-28s fill %7s l %8s\n",
                  static_cast<long long>(Step * StepMs / 1000), DescribeStatus(Code).c_str(),
                  Money(Volume).c_str(), Money(Paid).c_str());
    Seen.push_back(Code);
    if (Code == protocol::CodeIdle && Step > 0)
      break;
    Clock.Advance(StepMs);
  }
  Station.HangNozzle(Pump.Line, Pump.Pump);
  std::printf("    customer hangs up: %s\n", DescribeStatus(PollShown(Pump, Nozzles)).c_str());

  const auto Has = [&](protocol::THostFamily Family) {
    for (std::uint8_t C : Seen)
      if (protocol::FamilyOf(C) == Family)
        return true;
    return false;
  };
  Check(Has(protocol::FamilyCalling) && Has(protocol::FamilyAuthorised) &&
            Seen.back() == protocol::CodeIdle,
        "the host saw calling, authorised, and idle again");
  Check(std::fabs(Volume - Litres) < 0.005,
        "the fill stopped at the dose of " + Money(Litres) + " l");
  const double Price = Driver.Prices()[Pump.Line][Pump.Pump][Nozzles == 1 ? 1 : Nozzle];
  Check(std::fabs(Paid - std::round(Volume * Price * 100) / 100) < 0.005,
        "the amount is the volume at the price of " + Money(Price));
  const auto After = Totals(Pump, Nozzles);
  Check(std::fabs(After.first - Before.first - Volume) < 0.005 &&
            std::fabs(After.second - Before.second - Paid) < 0.005,
        "the totals grew by the fill");
}

void TDemo::StoppedFill(const TPumpRef &Pump) {
  sim::TSimStation &Station = *Transport.Simulated();
  TVM30 &Driver = Session.Driver;
  const auto Before = Totals(Pump, 1);
  Station.LiftNozzle(Pump.Line, Pump.Pump, 1);
  PollShown(Pump, 1);
  Driver.StartPump(Pump.Line, Pump.Pump);
  std::printf("    nozzle lifted, authorised without a dose\n");
  Transport.Manual()->Advance(8000);
  double Paid = 0;
  const double Flowing = Driver.ReadFill(Pump.Line, Pump.Pump, Paid);
  std::printf("    t+  8s  %-28s fill %7s l %8s\n", DescribeStatus(PollShown(Pump, 1)).c_str(),
              Money(Flowing).c_str(), Money(Paid).c_str());
  Driver.StopPump(Pump.Line, Pump.Pump);
  const std::uint8_t Code = PollShown(Pump, 1);
  const double Volume = Driver.ReadFill(Pump.Line, Pump.Pump, Paid);
  std::printf("    stopped: %s, fill %s l %s\n", DescribeStatus(Code).c_str(),
              Money(Volume).c_str(), Money(Paid).c_str());
  Transport.Manual()->Advance(5000);
  Check(Code == protocol::CodeIdle && Driver.ReadFill(Pump.Line, Pump.Pump, Paid) == Volume &&
            Volume > 0,
        "the fill ended at the stop");
  Station.HangNozzle(Pump.Line, Pump.Pump);
  const auto After = Totals(Pump, 1);
  Check(std::fabs(After.first - Before.first - Volume) < 0.005, "the totals grew by the fill");
}

void TDemo::FaultAndLock(const TPumpRef &Pump) {
  sim::TSimStation &Station = *Transport.Simulated();
  TVM30 &Driver = Session.Driver;
  Station.Fail(Pump.Line, Pump.Pump, protocol::StatusFault);
  std::printf("    the pump reports status byte 0x%02X\n", protocol::StatusFault);
  const std::uint8_t Reinit = PollShown(Pump, 1);
  std::printf("    poll: %s (the driver re-initialised the pump)\n",
              DescribeStatus(Reinit).c_str());
  const std::uint8_t After = PollShown(Pump, 1);
  std::printf("    poll: %s\n", DescribeStatus(After).c_str());
  Check(Reinit == protocol::CodeAuthorizedIdle && After == protocol::CodeIdle,
        "the pump is back after re-initialisation");

  Station.Lock(Pump.Line, Pump.Pump);
  Station.LiftNozzle(Pump.Line, Pump.Pump, 1);
  std::printf("    the pump locks itself; a customer lifts the nozzle: %s\n",
              DescribeStatus(PollShown(Pump, 1)).c_str());
  Driver.StartPump(Pump.Line, Pump.Pump);
  Transport.Manual()->Advance(5000);
  const bool Refused = Station.View(Pump.Line, Pump.Pump).State == sim::TPumpState::Locked;
  std::printf("    start: %s\n", Refused ? "refused, the pump stays locked" : "accepted");
  PollShown(Pump, 1);
  Driver.UnblockPump(Pump.Line, Pump.Pump, 5);
  std::printf("    unblocked with code 5: %s\n", DescribeStatus(PollShown(Pump, 1)).c_str());
  Station.HangNozzle(Pump.Line, Pump.Pump);
  const std::uint8_t Idle = PollShown(Pump, 1);
  Station.LiftNozzle(Pump.Line, Pump.Pump, 1);
  const std::uint8_t Calling = PollShown(Pump, 1);
  std::printf("    hung up: %s; lifted again: %s\n", DescribeStatus(Idle).c_str(),
              DescribeStatus(Calling).c_str());
  Station.HangNozzle(Pump.Line, Pump.Pump);
  PollShown(Pump, 1);
  Check(Refused && Calling == protocol::CodeCalling,
        "a locked pump starts only once unblocked");
}

int TDemo::Run() {
  TVM30 &Driver = Session.Driver;
  std::printf("de30 demo: %s, on the embedded station (simulated time)\n", IdentText);
  for (const auto &Place : Transport.Simulated()->Pumps())
    std::printf("  line %d, pump %d: %d nozzle%s\n", Place.Line, Place.Pump.Address,
                Place.Pump.Nozzles, Place.Pump.Nozzles == 1 ? "" : "s");

  std::printf("\n1. Lines set up and every pump polled\n");
  Transport.InitLines(Driver);
  for (const TPumpRef &Pump : Transport.Pumps()) {
    const std::uint8_t Code = PollShown(Pump, Transport.Nozzles(Pump, 0));
    std::printf("    pump %d:%d: %s\n", Pump.Line, Pump.Pump, DescribeStatus(Code).c_str());
    Check(Code == protocol::CodeIdle, "idle");
  }

  std::printf("\n2. Prices\n");
  SendPrices(Session, {1, 1}, 1, {{1, 45.50}});
  std::printf("    pump 1:1 grade 1: 45.50\n");
  // A multi-nozzle pump takes grades 1..5 in one command: each is given.
  SendPrices(Session, {1, 2}, 2, {{1, 47.20}, {2, 52.90}, {3, 0}, {4, 0}, {5, 0}});
  std::printf("    pump 1:2 grades 1..5: 47.20, 52.90, 0.00, 0.00, 0.00\n");
  const auto View = Transport.Simulated()->View(1, 2);
  Check(View.Prices[0] == 4720 && View.Prices[1] == 5290 && View.Prices[2] == 0 &&
            View.Prices[3] == 0 && View.Prices[4] == 0,
        "the pump holds the prices sent");

  std::printf("\n3. Pump 1:1, one nozzle: a fill of 10 litres\n");
  Transaction({1, 1}, 1, 1, 10.0, 0, 1);

  std::printf("\n4. Pump 1:2, two nozzles: a fill for 100.00 on nozzle 2\n");
  Transaction({1, 2}, 2, 2, 0, 100.0, 2);

  std::printf("\n5. Pump 2:3, four nozzles: nozzle 3 lifted and hung up\n");
  Transport.Simulated()->LiftNozzle(2, 3, 3);
  TSostRecord Record = PollRecord(Session, {2, 3}, 4);
  std::printf("    %s, nozzles %u %u %u %u\n", DescribeStatus(Record.Sost).c_str(),
              Record.Nozzle(1), Record.Nozzle(2), Record.Nozzle(3), Record.Nozzle(4));
  Check(Record.Sost == 227 && Record.ActiveNozzle == 3, "calling on nozzle 3");
  Transport.Simulated()->HangNozzle(2, 3);
  Record = PollRecord(Session, {2, 3}, 4);
  Check(protocol::FamilyOf(Record.Sost) == protocol::FamilyIdle, "idle again");

  std::printf("\n6. Pump 1:1: a fill stopped by the host\n");
  StoppedFill({1, 1});

  std::printf("\n7. Pump 1:1: a fault, a lock, and unblocking\n");
  FaultAndLock({1, 1});

  std::printf("\n%s\n", Failures == 0 ? "demo finished: every check held"
                                      : "demo finished with failed checks");
  return Failures == 0 ? ExitOk : ExitCheckFailed;
}

} // namespace

int RunDemo(TTransport &Transport) {
  auto Driver = GetDE30(0, 0, &Transport.Channel(), Transport.Pauser());
  TDemo Demo(Transport, *Driver);
  return Demo.Run();
}

} // namespace de30::ctl
