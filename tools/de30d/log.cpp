#include "log.hpp"

#include "station/sale.hpp"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>

namespace de30::service {
namespace {

std::atomic<TLevel> Threshold{TLevel::Info};
std::mutex Writing;

// Under systemd, stderr goes to the journal, which takes a "<N>" at the start of
// a line as its syslog priority; so `journalctl -p warning` finds warnings. The
// service manager names the stream in JOURNAL_STREAM ("device:inode"); stderr
// redirected elsewhere is not that stream any more.
bool StderrIsJournal() {
  const char *Stream = std::getenv("JOURNAL_STREAM");
  struct stat Err {};
  if (Stream == nullptr || ::fstat(2, &Err) != 0)
    return false;
  unsigned long long Device = 0, Inode = 0;
  if (std::sscanf(Stream, "%llu:%llu", &Device, &Inode) != 2)
    return false;
  return Device == static_cast<unsigned long long>(Err.st_dev) &&
         Inode == static_cast<unsigned long long>(Err.st_ino);
}

const char *Priority(TLevel Level) {
  switch (Level) {
  case TLevel::Debug:
    return "<7>";
  case TLevel::Info:
    return "<6>";
  case TLevel::Warn:
    return "<4>";
  case TLevel::Error:
    return "<3>";
  }
  return "<6>";
}

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
  static const bool Journal = StderrIsJournal();
  const std::string Line = (Journal ? Priority(Level) : "") +
                           station::IsoTime(station::NowEpochMs()) + " " + LevelName(Level) +
                           " " + Message + "\n";
  // Whole lines, even when several threads log at once.
  std::lock_guard Lock(Writing);
  std::fputs(Line.c_str(), stderr);
}

} // namespace de30::service
