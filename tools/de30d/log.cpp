#include "log.hpp"

#include "station/sale.hpp"

#include <cstdio>
#include <mutex>

namespace de30::service {
namespace {

std::atomic<TLevel> Threshold{TLevel::Info};
std::mutex Writing;

} // namespace

const char *LevelName(TLevel Level) {
  switch (Level) {
  case TLevel::Debug:
    return "debug";
  case TLevel::Info:
    return "info";
  case TLevel::Warn:
    return "warn";
  case TLevel::Error:
    return "error";
  }
  return "?";
}

void SetLogThreshold(TLevel Level) { Threshold = Level; }

void Log(TLevel Level, const std::string &Message) {
  if (Level < Threshold.load())
    return;
  const std::string Line =
      station::IsoTime(station::NowEpochMs()) + " " + LevelName(Level) + " " + Message + "\n";
  // Whole lines, even when several threads log at once.
  std::lock_guard Lock(Writing);
  std::fputs(Line.c_str(), stderr);
}

} // namespace de30::service
