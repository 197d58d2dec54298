#include "log.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace de30::office {
namespace {

std::atomic<TLevel> Threshold{TLevel::Info};
std::mutex Writing;

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

// ISO 8601 UTC to the millisecond.
std::string Now() {
  const auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  const std::time_t Seconds = static_cast<std::time_t>(Ms / 1000);
  std::tm Utc{};
  gmtime_r(&Seconds, &Utc);
  char Text[64];
  std::snprintf(Text, sizeof Text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", Utc.tm_year + 1900,
                Utc.tm_mon + 1, Utc.tm_mday, Utc.tm_hour, Utc.tm_min, Utc.tm_sec,
                static_cast<int>(Ms % 1000));
  return Text;
}

} // namespace

void SetLogThreshold(TLevel Level) { Threshold = Level; }

void Log(TLevel Level, const std::string &Message) {
  if (Level < Threshold.load())
    return;
  const std::string Line = Now() + " " + LevelName(Level) + " " + Message + "\n";
  std::lock_guard Lock(Writing);
  std::fputs(Line.c_str(), stderr);
}

} // namespace de30::office
