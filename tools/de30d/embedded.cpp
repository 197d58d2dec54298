#include "embedded.hpp"

#include "sim/sim_channel.hpp"
#include "station/journal.hpp"

namespace de30::service {
namespace {

// Pump-side nozzles map to station grades, one list per pump of the default
// station: pump 2 sells grades 2 and 4, so its second nozzle is grade 4 for the
// station.
const std::vector<int> GradesOf[] = {{2}, {2, 4}, {1, 2, 3, 4}};

} // namespace

TEmbeddedStation::TEmbeddedStation(const TEmbeddedOptions &Options)
    : Setup(Options), Clock(Options.Speed), Station(Clock) {
  for (sim::TPumpPlace Place : sim::DefaultStation(Options.Customers)) {
    Place.Pump.FlowRate = Options.FlowRate;
    Place.Pump.StartDelayMs = Options.StartDelayMs;
    Station.AddPump(Place.Line, Place.Pump);
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
  const auto Places = sim::DefaultStation(false);
  for (std::size_t I = 0; I < Places.size(); ++I) {
    station::TPumpConfig Pump;
    Pump.Line = Places[I].Line;
    Pump.Address = Places[I].Pump.Address;
    Pump.Nozzles = GradesOf[I];
    Pump.AutoAuthorize = Setup.AutoAuthorize;
    // The simulated pumps put the pump's sum in the totals group read.
    Pump.Totals = Places[I].Pump.Totals == sim::TTotalsLayout::PerNozzle
                      ? station::TTotalsLayout::PerNozzle
                      : station::TTotalsLayout::Sum;
    Config.Pumps.push_back(Pump);
  }
  return Config;
}

station::TStationOptions TEmbeddedStation::StationOptions() {
  station::TStationOptions Options;
  Options.Channels = [this](const station::TLineConfig &) -> std::unique_ptr<TComChannel> {
    return std::make_unique<sim::TSimChannel>(Station, Setup.BaudRate);
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
