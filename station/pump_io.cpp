#include "station/pump_io.hpp"

#include <cmath>
#include <limits>
#include <mutex>

namespace de30::station {

namespace {

// The factories keep a pointer to the driver they made last; workers of
// several lines create and destroy drivers at the same time.
std::mutex &FactoryGuard() {
  static std::mutex Guard;
  return Guard;
}

auto B(int Value) { return static_cast<std::uint8_t>(Value); }

} // namespace

std::string TIoResult::Describe(const std::string &What) const {
  switch (Kind) {
  case TKind::Ok:
    return What + ": done";
  case TKind::Rejected:
    return What + ": the reply was rejected";
  case TKind::Failed:
    return What + ": " + Error +
           (ChannelError != 0 ? " (channel error " + std::to_string(ChannelError) + ")" : "");
  case TKind::Refused:
    return What + ": refused by the driver (" + Error + ")";
  }
  return What;
}

std::unique_ptr<TVM30> MakeDriver(TComChannel &Channel, TPauser *Pauser) {
  std::lock_guard<std::mutex> Lock(FactoryGuard());
  return GetDE30(0, 0, &Channel, Pauser);
}

void DropDriver(std::unique_ptr<TVM30> &Driver) {
  std::lock_guard<std::mutex> Lock(FactoryGuard());
  Driver.reset();
}

template <typename TOperation> TIoResult TPumpIo::Run(TOperation &&Operation) {
  TIoResult Result;
  const std::uint64_t RejectedBefore = Channel.Counts().Rejected;
  try {
    Operation();
  } catch (const ESerialIO &E) {
    Result.Kind = TIoResult::TKind::Failed;
    Result.Error = E.what();
    Result.ChannelError = E.ChannelError();
    return Result;
  } catch (const ERangeError &E) {
    Result.Kind = TIoResult::TKind::Refused;
    Result.Error = E.Detail();
    return Result;
  } catch (const std::exception &E) {
    Result.Kind = TIoResult::TKind::Failed;
    Result.Error = E.what();
    return Result;
  }
  // Any exchange of the operation refused by the reply check spoils all of it:
  // GetSostEx and GetTotals make several, and the line state tells only the last.
  if (Driver.GetLineState(B(Line)) != LineAccepted ||
      Channel.Counts().Rejected != RejectedBefore) {
    Result.Kind = TIoResult::TKind::Rejected;
    Result.Error = "reply rejected";
  }
  return Result;
}

bool TPumpIo::CountDownLeft(int Pump) const {
  return Driver.Authorized()[Line][Pump] == 0 && Driver.CountDown()[Line][Pump] > 0;
}

bool TPumpIo::DriverHeld(int Pump) const { return Driver.Authorized()[Line][Pump] != 0; }

bool TPumpIo::AwaitingIdle(int Pump) const { return Driver.AwaitIdle()[Line][Pump] != 0; }

TIoResult TPumpIo::Poll(int Pump, int NozzleCount, TSostRecord &Record) {
  Record = TSostRecord{};
  return Run([&] { Driver.GetSostEx(B(Line), B(Pump), B(NozzleCount), Record); });
}

TIoResult TPumpIo::Fill(int Pump, double &Volume, double &Amount) {
  double V = 0.0;
  double A = 0.0;
  TIoResult Result = Run([&] { Driver.GetFillData(Line, Pump, V, A); });
  if (Result.Ok()) {
    Volume = V;
    Amount = A;
  }
  return Result;
}

TIoResult TPumpIo::Totals(int Pump, TTotals &Totals) {
  // Each total is written only from its own accepted reply.
  double Volume = std::numeric_limits<double>::quiet_NaN();
  double Amount = std::numeric_limits<double>::quiet_NaN();
  TIoResult Result = Run([&] { Driver.GetTotals(Line, Pump, Volume, Amount); });
  if (Result.Ok() && (std::isnan(Volume) || std::isnan(Amount))) {
    Result.Kind = TIoResult::TKind::Rejected;
    Result.Error = "reply rejected";
  }
  if (Result.Ok())
    Totals = TTotals{true, Volume, Amount};
  return Result;
}

TPumpReading TPumpIo::Read(int Pump, bool WithTotals) {
  TPumpReading Reading;
  Reading.Pump = Pump;
  double Volume = 0.0;
  double Amount = 0.0;
  Reading.FillRead = Fill(Pump, Volume, Amount);
  if (Reading.FillRead.Ok())
    Reading.Fill = TFillReading{true, Volume, Amount};
  Reading.TotalsRead.Kind = TIoResult::TKind::Refused;
  Reading.TotalsRead.Error =
      WithTotals ? "not read: the fill read before it failed" : "not read";
  if (WithTotals && Reading.FillRead.Ok())
    Reading.TotalsRead = Totals(Pump, Reading.Totals);
  return Reading;
}

TIoResult TPumpIo::Start(int Pump) {
  return Run([&] { Driver.StartPump(Line, Pump); });
}

TIoResult TPumpIo::Stop(int Pump) {
  return Run([&] { Driver.StopPump(Line, Pump); });
}

TIoResult TPumpIo::Unblock(int Pump, int Code) {
  return Run([&] { Driver.UnblockPump(Line, Pump, Code); });
}

TIoResult TPumpIo::Dose(int Pump, double Litres) {
  return Run([&] { Driver.SetDoseLitres(Line, Pump, Litres); });
}

TIoResult TPumpIo::SetPrice(int Pump, int Position, double Price) {
  return Run([&] { Driver.SetPrice(Line, Pump, Position, Price); });
}

void TPumpIo::LoadPrice(int Pump, int Position, double Price) {
  Channel.Hold(true);
  try {
    Driver.SetPrice(Line, Pump, Position, Price);
  } catch (const std::exception &) {
    // The held channel refuses the send; the table keeps the price.
  }
  Channel.Hold(false);
}

std::int32_t TPumpIo::InitLine() {
  try {
    return Driver.InitLine(Line);
  } catch (const std::exception &E) {
    Channel.NoteError(std::string("line set-up failed: ") + E.what());
    return -1;
  }
}

} // namespace de30::station
