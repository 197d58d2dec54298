#include "station/sale_judge.hpp"

#include "station/pump.hpp"

#include <cmath>

namespace de30::station {

void AddSaleFlag(TSale &Sale, const char *Flag) {
  if (!Sale.HasFlag(Flag))
    Sale.Flags.emplace_back(Flag);
}

void DropSaleFlag(TSale &Sale, const char *Flag) { std::erase(Sale.Flags, std::string(Flag)); }

void JudgeSale(TSale &Ended, const TFillReading &Fill, const TTotals &FinalTotals,
               const TJudgeFacts &Facts) {
  if (FinalTotals.Known)
    Ended.EndTotals = FinalTotals;
  // Totals judge a sale only where the totals the station reads count its nozzle.
  const bool Delta = Facts.Covered && Ended.StartTotals.Known && Ended.EndTotals.Known;
  const double Moved = Delta ? Ended.EndTotals.Volume - Ended.StartTotals.Volume : 0.0;
  bool Took = Facts.Took;
  if (!Took && Ended.Baseline.Known)
    Took = Fill.Volume != Ended.Baseline.Volume || Fill.Amount != Ended.Baseline.Amount;
  // A sale from a journal that did not keep the baseline: only moved totals prove
  // the fill is this sale's.
  if (!Took && !Ended.Baseline.Known)
    Took = Delta && std::fabs(Moved) > VolumeTolerance;
  // A new fill with the very figures of the one before shows only in the totals.
  if (!Took && Delta && Fill.Volume > 0.0 && std::fabs(Moved - Fill.Volume) <= VolumeTolerance)
    Took = true;
  Ended.Volume = Took ? Fill.Volume : 0.0;
  Ended.Amount = Took ? Fill.Amount : 0.0;
  if (Took && Facts.InferNozzle)
    Facts.InferNozzle(Ended, Fill);
  if (Ended.Volume > 0.0 && Ended.Nozzle == 0)
    AddSaleFlag(Ended, FlagNozzleUnknown);
  if (!Ended.StartTotals.Known || !Ended.EndTotals.Known)
    AddSaleFlag(Ended, FlagNoTotals);
  if (Delta && std::fabs(Moved - Ended.Volume) > VolumeTolerance)
    AddSaleFlag(Ended, FlagVolumeMismatch);
  // A stop the station sent because nobody came is told by its own flag.
  if (Facts.Stopped && !Ended.HasFlag(FlagAuthorizeTimeout))
    AddSaleFlag(Ended, FlagStopped);
  const double Preset = Ended.Preset.Value;
  if ((Ended.Preset.Kind == TPreset::TKind::Litres &&
       Ended.Volume > Preset + VolumeTolerance) ||
      (Ended.Preset.Kind == TPreset::TKind::Money && Ended.Amount > Preset + VolumeTolerance))
    AddSaleFlag(Ended, FlagOverrun);
  Ended.Refund = RefundOf(Ended.Prepaid, Ended.Amount);
  if (Facts.Recovered)
    AddSaleFlag(Ended, FlagRecovered);
  const bool Empty = Ended.Volume <= 0.0 && (!Delta || std::fabs(Moved) <= VolumeTolerance);
  if (Empty)
    AddSaleFlag(Ended, FlagEmpty);
  Ended.State = Empty ? TSaleState::Cleared : TSaleState::Payable;
}

} // namespace de30::station
