#include "embedded.hpp"

#include "sim/sim_channel.hpp"
#include "station/journal.hpp"

namespace de30::service {
namespace {

struct TPlace {
  int Line;
  int Address;
  std::vector<int> Grades; // station grade per nozzle
};

// Pump-side nozzles map to station grades: pump 2 sells grades 2 and 4, so its
// second nozzle is grade 4 for the station.
const TPlace Places[] = {
    {1, 1, {2}},
    {1, 2, {2, 4}},
    {2, 3, {1, 2, 3, 4}},
};

} // namespace

TEmbeddedStation::TEmbeddedStation(const TEmbeddedOptions &Options)
    : Setup(Options), Station(Clock) {
  for (const TPlace &P : Places) {
    sim::TPumpConfig Pump;
    Pump.Address = static_cast<std::uint8_t>(P.Address);
    Pump.Nozzles = static_cast<int>(P.Grades.size());
    Pump.FlowRate = Options.FlowRate;
    Pump.StartDelayMs = Options.StartDelayMs;
    Pump.AutoCustomer = Options.Customers;
    // Customers arrive at different times.
    Pump.IdleMs = 3000 + 2000 * P.Address;
    Station.AddPump(P.Line, Pump);
  }
}

station::TStationConfig TEmbeddedStation::Config(const std::filesystem::path &Journal) const {
  station::TStationConfig Config;
  Config.StationId = "de30-simulated";
  Config.Journal = Journal;
  Config.Grades = {{1, "92"}, {2, "95"}, {3, "98"}, {4, "diesel"}};
  for (int Line : {1, 2}) {
    station::TLineConfig L;
    L.Number = Line;
    Config.Lines.push_back(L);
  }
  for (const TPlace &P : Places) {
    station::TPumpConfig Pump;
    Pump.Line = P.Line;
    Pump.Address = P.Address;
    Pump.Nozzles = P.Grades;
    Pump.AutoAuthorize = Setup.AutoAuthorize;
    Config.Pumps.push_back(Pump);
  }
  return Config;
}

station::TStationOptions TEmbeddedStation::StationOptions() {
  station::TStationOptions Options;
  Options.Channels = [this](const station::TLineConfig &) -> std::unique_ptr<TComChannel> {
    return std::make_unique<sim::TSimChannel>(Station);
  };
  Options.IdleCycleMs = 20;
  return Options;
}

std::map<int, double> StarterPrices() {
  return {{1, 45.50}, {2, 47.20}, {3, 52.90}, {4, 49.90}};
}

void SeedPrices(const std::filesystem::path &Journal) {
  station::TJournal Book(Journal);
  if (Book.Prices().empty())
    Book.SetPrices(StarterPrices());
}

std::filesystem::path DefaultEmbeddedJournal() {
  std::error_code Error;
  const auto Folder = std::filesystem::temp_directory_path(Error);
  return (Error ? std::filesystem::current_path() : Folder) / "de30d-simulated.db";
}

} // namespace de30::service
