#include "faults/fault_cases.hpp"

#include "de30/messages.hpp"
#include "support/exposed.hpp"

namespace de30::test {
namespace {

constexpr std::uint8_t L = FaultLine;
constexpr std::uint8_t P = FaultPump;
// Lead bytes of pump 3: command number in the low three bits.
constexpr std::uint8_t Poll = P * 8 + 1, Read = P * 8 + 2, PollAuthorized = P * 8 + 3,
                       Set = P * 8 + 4, Nozzles = P * 8 + 6, Reinit = P * 8 + 7;
constexpr std::uint8_t Totals = 0x02;

// A reply of Length bytes whose values stand at every second position from First;
// every other byte is noise that would show if it were decoded.
TBytes Spread(std::size_t Length, std::size_t First, const TBytes &Values) {
  TBytes Reply(Length, 0x99);
  for (std::size_t I = 0; I < Values.size(); ++I)
    Reply.at(First + 2 * I) = Values[I];
  return Reply;
}

TStep ReinitExchange() {
  return Send({Reinit, static_cast<std::uint8_t>(~Reinit)}, 3, Reinit, messages::ReinitPump);
}

void SetRecord(TWorld &W, std::uint8_t Sost, std::uint8_t Active) {
  W.Vars.Record.Sost = Sost;
  W.Vars.Record.ActiveNozzle = Active;
}

// The single-nozzle path copies the short poll's status word into the record.
TEffect ShortRecord(std::uint16_t Word) {
  return [Word](TWorld &W) {
    SetRecord(W, static_cast<std::uint8_t>(Word & 0xFF), static_cast<std::uint8_t>(Word & 7));
    W.Vars.Record.SostHigh = static_cast<std::uint8_t>(Word >> 8);
    W.Vars.Record.Reserved = 0;
  };
}

// The multi-nozzle path: positions 1..Codes.size() and the nozzle the pass took.
// The pass starts from a cleared Sost, and SostHigh and Reserved are cleared with
// it (this driver's choice where the record is otherwise left open).
TEffect NozzleRecord(std::vector<std::uint16_t> Codes, std::uint8_t Sost, std::uint8_t Active) {
  return [Codes, Sost, Active](TWorld &W) {
    for (std::size_t K = 0; K < Codes.size(); ++K)
      W.Vars.Record.Nozzles[K] = Codes[K];
    SetRecord(W, Sost, Active);
    W.Vars.Record.SostHigh = 0;
    W.Vars.Record.Reserved = 0;
  };
}

TEffect Result(double Value) {
  return [Value](TWorld &W) { W.Vars.Result = Value; };
}

TEffect Nothing() {
  return [](TWorld &) {};
}

// Status byte 0 of an untouched poll buffer: 192, Authorized and AwaitIdle cleared.
void StaleStatus(TWorld &W) {
  W.Authorized() = 0;
  W.AwaitIdle() = 0;
}

std::vector<TCase> MakeCases() {
  std::vector<TCase> Cases;
  auto Add = [&Cases](TCase C) { Cases.push_back(std::move(C)); };

  // Control: nothing is decoded; StartPump writes its fields only after both
  // exchanges, UnblockPump sets AwaitIdle before its first.
  const auto Authorised = [](TVM30 &D) {
    Exposed(D).Authorized[L][P] = 1;
    Exposed(D).CountDown[L][P] = 4;
  };
  const std::vector<TStep> Stop = {Send({Set, 0xD2}, 2, Set, messages::StopPump), Execute()};
  Add({"StopPump", Authorised, [](TVM30 &D, TCallerVars &) { D.StopPump(L, P); }, Stop});
  Add({"StopPumpIf", Authorised, [](TVM30 &D, TCallerVars &) { D.StopPumpIf(L, P, 1); }, Stop});

  const auto Counting = [](TVM30 &D) { Exposed(D).CountDown[L][P] = 2; };
  const std::vector<TStep> Start = {Send({Set, 0xE1}, 2, Set, messages::StartPump), Execute(),
                                    Write([](TWorld &W) {
                                      W.Authorized() = 1;
                                      W.CountDown() = StartPolls;
                                    }),
                                    Pause(StartPauseMs)};
  Add({"StartPump", Counting, [](TVM30 &D, TCallerVars &) { D.StartPump(L, P); }, Start});
  Add({"StartPumpEx", Counting, [](TVM30 &D, TCallerVars &) { D.StartPumpEx(L, P); }, Start});

  Add({"UnblockPump",
       [](TVM30 &D) { Exposed(D).AwaitIdle[L][P] = 0; },
       [](TVM30 &D, TCallerVars &) { D.UnblockPump(L, P, 7); },
       {Write([](TWorld &W) { W.AwaitIdle() = 1; }), ReinitExchange(),
        Send({Set, 0x96, 0x07, 0xF8}, 4, 0, messages::SendUnblock), Pause(UnblockPauseMs),
        Execute()}});

  // Prices: the new price is stored before anything is sent and stays.
  const auto WithNozzleCount = [](std::uint8_t Count) {
    return [Count](TVM30 &D) { Exposed(D).NozzleCount[L][P] = Count; };
  };
  Add({"SetPriceNoNozzleCount",
       WithNozzleCount(0),
       [](TVM30 &D, TCallerVars &) { D.SetPrice(L, P, 2, 45.5); },
       {Write([](TWorld &W) { W.Price(2) = 45.5; })}});
  Add({"SetPriceOneNozzle",
       WithNozzleCount(1),
       [](TVM30 &D, TCallerVars &) { D.SetPrice(L, P, 1, 45.5); },
       {Write([](TWorld &W) { W.Price(1) = 45.5; }),
        Send({Set, 0x69, 0x45, 0x50}, 4, Set, messages::SetPrice), Execute()}});
  Add({"SetPriceTwoNozzles",
       WithNozzleCount(2),
       [](TVM30 &D, TCallerVars &) { D.SetPrice(L, P, 2, 12.34); },
       {Write([](TWorld &W) { W.Price(2) = 12.34; }),
        Send({Set, 0x4B, 0x01, 0x00, 0x12, 0x34, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00}, 12, Set,
             messages::SetPrice),
        Execute()}});

  // Doses keep no state; SetDoseMoney fails with the litres message.
  const std::vector<TStep> Dose = {
      Send({Set, 0x0F, 0x00, 0x12, 0x34}, 5, Set, messages::SetDoseLitres), Execute()};
  Add({"SetDoseLitres", nullptr, [](TVM30 &D, TCallerVars &) { D.SetDoseLitres(L, P, 12.34); },
       Dose});
  Add({"SetDoseMoney",
       [](TVM30 &D) { Exposed(D).Prices[L][P][1] = 45.5; },
       [](TVM30 &D, TCallerVars &) { D.SetDoseMoney(L, P, 1, 100.0); },
       {Send({Set, 0x0F, 0x00, 0x02, 0x20}, 5, Set, messages::SetDoseLitres), Execute()}});

  // Fill data: Value2 at positions 2, 4, 6, Value1 at 8, 10, 12; a reply not fit
  // for decoding leaves Value2 alone and yields 0.0.
  const TBytes Fill = Spread(16, 2, {0x00, 0x01, 0x23, 0x00, 0x45, 0x67});
  Add({"ReadFill",
       nullptr,
       [](TVM30 &D, TCallerVars &V) { V.Result = D.ReadFill(L, P, V.Value2); },
       {Decode(
           {Read, 0xB4}, 16, messages::ReadFill, Fill,
           [](TWorld &W) {
             W.Vars.Value2 = 1.23;
             W.Vars.Result = 45.67;
           },
           [](TWorld &W) {
             W.Vars.Value2 = 0.0;
             W.Vars.Result = 0.0;
           },
           Result(0.0))}});
  Add({"GetFillData",
       nullptr,
       [](TVM30 &D, TCallerVars &V) { D.GetFillData(L, P, V.Value1, V.Value2); },
       {Decode(
           {Read, 0xB4}, 16, messages::ReadFill, Fill,
           [](TWorld &W) {
             W.Vars.Value1 = 45.67;
             W.Vars.Value2 = 1.23;
           },
           [](TWorld &W) {
             W.Vars.Value1 = 0.0;
             W.Vars.Value2 = 0.0;
           },
           [](TWorld &W) { W.Vars.Value1 = 0.0; })}});

  // Totals: two requests; each total comes from its own accepted reply only, and
  // the second request goes out whatever became of the first reply.
  const auto Totals1 = [](TWorld &W) { W.Vars.Value1 = 123456.78; };
  const auto Totals2 = [](TWorld &W) { W.Vars.Value2 = 98.76; };
  const auto Stale1 = [](TWorld &W) { W.Vars.Value1 = 0.0; };
  // Both requests share one buffer, so a second channel that wrote nothing leaves
  // the first reply there to be read again.
  const auto Stale2 = [](TWorld &W) { W.Vars.Value2 = 123456.78; };
  const auto CallTotals = [](TVM30 &D, TCallerVars &V) {
    D.GetTotals(L, P, V.Value1, V.Value2);
  };
  Add({"GetTotalsOneNozzle",
       WithNozzleCount(1),
       CallTotals,
       {Decode({Totals, 0x87}, 16, messages::GetTotals,
               Spread(16, 2, {0x00, 0x00, 0x12, 0x34, 0x56, 0x78}), Totals1, Stale1),
        Decode({Totals, 0x78}, 16, messages::GetTotals,
               Spread(16, 2, {0x00, 0x00, 0x00, 0x00, 0x98, 0x76}), Totals2, Stale2)}});
  // The first nozzle's group holds noise: only the last group is read.
  Add({"GetTotalsTwoNozzles",
       WithNozzleCount(2),
       CallTotals,
       {Decode({Totals, 0x2D}, 28, messages::GetTotals,
               Spread(28, 14, {0x00, 0x00, 0x12, 0x34, 0x56, 0x78}), Totals1, Stale1),
        Decode({Totals, 0x1E}, 28, messages::GetTotals,
               Spread(28, 14, {0x00, 0x00, 0x00, 0x00, 0x98, 0x76}), Totals2, Stale2)}});

  // Short polls: the translation runs only on an accepted reply; a reply not fit
  // for decoding gives 0 and changes no field.
  Add({"GetSostCountingDown",
       [](TVM30 &D) {
         Exposed(D).Authorized[L][P] = 1;
         Exposed(D).CountDown[L][P] = 3;
         Exposed(D).AwaitIdle[L][P] = 0;
       },
       [](TVM30 &D, TCallerVars &V) { V.Result = D.GetSost(L, P); },
       {Decode(
           {PollAuthorized}, 3, messages::GetSost, {PollAuthorized, 0x08, 0x00},
           [](TWorld &W) {
             W.CountDown() = 2;
             W.Vars.Result = 217;
           },
           [](TWorld &W) {
             StaleStatus(W);
             W.Vars.Result = 192;
           },
           Result(0))}});
  // Status byte 0x59 counts down, then re-initialises; the code comes after that.
  Add({"GetSostReinitialising",
       [](TVM30 &D) {
         Exposed(D).Authorized[L][P] = 1;
         Exposed(D).CountDown[L][P] = 2;
       },
       [](TVM30 &D, TCallerVars &V) { V.Result = D.GetSost(L, P); },
       {Decode(
            {PollAuthorized}, 3, messages::GetSost, {PollAuthorized, 0x59, 0x00},
            [](TWorld &W) { W.CountDown() = 1; },
            [](TWorld &W) {
              StaleStatus(W);
              W.Vars.Result = 192;
            },
            Result(0)),
        AfterReply(ReinitExchange()), AfterReply(Write(Result(217)))}});
  Add({"GetSostCalling",
       [](TVM30 &D) { Exposed(D).AwaitIdle[L][P] = 0; },
       [](TVM30 &D, TCallerVars &V) { V.Result = D.GetSost(L, P); },
       {Decode({Poll}, 3, messages::GetSost, {Poll, 0x0A, 0x00}, Result(225), Result(192),
               Result(0))}});

  // Multi-nozzle polls: NozzleCount is stored before any exchange; the nozzle
  // command goes out whatever became of the short poll; the record is written only
  // from an accepted nozzle reply.
  Add({"GetSostExOneNozzle",
       [](TVM30 &D) { Exposed(D).AwaitIdle[L][P] = 0; },
       [](TVM30 &D, TCallerVars &V) { D.GetSostEx(L, P, 1, V.Record); },
       {Write([](TWorld &W) { W.NozzleCount() = 1; }),
        Decode({Poll}, 3, messages::GetSost, {Poll, 0x0A, 0x00}, ShortRecord(225),
               ShortRecord(192), ShortRecord(0))}});
  // Nibble 2 counts down whatever Authorized holds; reply byte 3 is noise for two
  // nozzles.
  Add({"GetSostExTwoNozzles",
       [](TVM30 &D) {
         Exposed(D).Authorized[L][P] = 1;
         Exposed(D).CountDown[L][P] = 3;
         Exposed(D).AwaitIdle[L][P] = 0;
       },
       [](TVM30 &D, TCallerVars &V) { D.GetSostEx(L, P, 2, V.Record); },
       {Write([](TWorld &W) { W.NozzleCount() = 2; }),
        Decode(
            {PollAuthorized}, 3, messages::GetSost, {PollAuthorized, 0x08, 0x00},
            [](TWorld &W) { --W.CountDown(); }, StaleStatus),
        Decode(
            {Nozzles}, 5, messages::GetSost, {Nozzles, 0x2A, 0x99, 0xBB, 0x99},
            [](TWorld &W) {
              --W.CountDown();
              NozzleRecord({217, 218}, 217, 1)(W);
            },
            NozzleRecord({192, 192}, 192, 1))}});
  Add({"GetSostExReinitialising",
       [](TVM30 &D) {
         Exposed(D).Authorized[L][P] = 1;
         Exposed(D).CountDown[L][P] = 2;
       },
       [](TVM30 &D, TCallerVars &V) { D.GetSostEx(L, P, 2, V.Record); },
       {Write([](TWorld &W) { W.NozzleCount() = 2; }),
        Decode(
            {PollAuthorized}, 3, messages::GetSost, {PollAuthorized, 0x59, 0x00},
            [](TWorld &W) { W.CountDown() = 1; }, StaleStatus),
        AfterReply(ReinitExchange()),
        Decode({Nozzles}, 5, messages::GetSost, {Nozzles, 0xB0, 0x99, 0x22, 0x99},
               NozzleRecord({209, 192}, 209, 1), NozzleRecord({192, 192}, 192, 1))}});
  Add({"GetSostExFourNozzles",
       [](TVM30 &D) { Exposed(D).AwaitIdle[L][P] = 0; },
       [](TVM30 &D, TCallerVars &V) { D.GetSostEx(L, P, 4, V.Record); },
       {Write([](TWorld &W) { W.NozzleCount() = 4; }),
        Decode({Poll}, 3, messages::GetSost, {Poll, 0x0A, 0x00}, Nothing(), Nothing()),
        Decode({Nozzles}, 5, messages::GetSost, {Nozzles, 0x0B, 0x99, 0xA0, 0x99},
               NozzleRecord({192, 210, 219, 192}, 210, 2),
               NozzleRecord({192, 192, 192, 192}, 192, 1))}});
  return Cases;
}

} // namespace

const std::vector<TCase> &FaultCases() {
  static const std::vector<TCase> Cases = MakeCases();
  return Cases;
}

} // namespace de30::test
