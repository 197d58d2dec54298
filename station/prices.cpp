#include "station/prices.hpp"

#include <cmath>

namespace de30::station {

TPriceList BuildPriceList(const TPumpConfig &Pump, const std::map<int, double> &Prices) {
  TPriceList List;
  List.Complete = true;
  for (int K = 1; K <= Pump.NozzleCount() && K <= GradeCount; ++K) {
    const int Grade = Pump.Nozzles[static_cast<std::size_t>(K - 1)];
    const auto Found = Prices.find(Grade);
    if (Found == Prices.end()) {
      if (List.Complete)
        List.Missing = "no price for grade " + std::to_string(Grade);
      List.Complete = false;
      continue;
    }
    List.Positions[static_cast<std::size_t>(K - 1)] = Found->second;
  }
  return List;
}

bool ValidPrice(double Price) {
  if (!std::isfinite(Price) || Price < 0.0 || Price > 99.99)
    return false;
  const double Hundredths = Price * 100.0;
  return std::fabs(Hundredths - std::round(Hundredths)) < 1e-6;
}

TPumpPrices::TPumpPrices(TPumpConfig Pump) : Config(std::move(Pump)) {}

bool TPumpPrices::Set(TPriceState State, std::string Reason) {
  if (State == Now && Reason == Why)
    return false;
  Now = State;
  Why = std::move(Reason);
  return true;
}

bool TPumpPrices::Update(const std::map<int, double> &Prices) {
  Want = BuildPriceList(Config, Prices);
  if (!Want.Complete)
    return Set(TPriceState::Pending, Want.Missing);
  if (Sent && *Sent == Want.Positions)
    return Set(TPriceState::Sent, "");
  return Set(TPriceState::Pending, Sent ? "new prices to send" : "not sent since the start");
}

bool TPumpPrices::NeedsSend() const {
  return Want.Complete && (!Sent || *Sent != Want.Positions);
}

bool TPumpPrices::OnSent(bool Ok, const std::string &Reason) {
  if (Ok) {
    Sent = Want.Positions;
    return Set(TPriceState::Sent, "");
  }
  return Set(TPriceState::Failed, Reason);
}

bool TPumpPrices::Hold(const std::string &Reason) {
  if (Now == TPriceState::Failed)
    return false; // keep the failure's reason until the next attempt
  return Set(TPriceState::Pending, Reason);
}

std::vector<double> TPumpPrices::SentPrices() const {
  std::vector<double> Result;
  if (!Sent)
    return Result;
  for (int K = 1; K <= Config.NozzleCount() && K <= GradeCount; ++K)
    Result.push_back((*Sent)[static_cast<std::size_t>(K - 1)]);
  return Result;
}

std::optional<double> TPumpPrices::SentPrice(int Grade) const {
  if (!Sent)
    return std::nullopt;
  for (int K = 1; K <= Config.NozzleCount() && K <= GradeCount; ++K)
    if (Config.Nozzles[static_cast<std::size_t>(K - 1)] == Grade)
      return (*Sent)[static_cast<std::size_t>(K - 1)];
  return std::nullopt;
}

const char *PriceStateName(TPriceState State) {
  switch (State) {
  case TPriceState::Pending:
    return "pending";
  case TPriceState::Sent:
    return "sent";
  case TPriceState::Failed:
    return "failed";
  }
  return "unknown";
}

} // namespace de30::station
