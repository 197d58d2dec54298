#pragma once
// `de30ctl bench`: polls a simulated station served on a pseudo-terminal through
// the serial channel, the station holding every byte to the pace of a real line,
// and reports the poll rate against what the line allows for the bytes exchanged,
// and the CPU time the driver side spent.

#include <cstdint>

namespace de30::ctl {

struct TBenchOptions {
  double DurationS = 10;
  int Pumps = 1;            // on the one line, addresses 1..Pumps
  bool MultiNozzle = false; // GetSostEx on four-nozzle pumps instead of GetSost
  int BaudRate = 2400;
};

struct TBenchResult {
  long Polls = 0;
  long Failed = 0;
  double Seconds = 0;
  std::uint64_t FrameBytes = 0; // host to station
  std::uint64_t ReplyBytes = 0; // station to host
  double CpuSeconds = 0;        // the polling thread's user and system time
  double WireLimit = 0;         // polls a second the bytes exchanged allow
  double Rate() const { return Seconds > 0 ? Polls / Seconds : 0; }
  double Efficiency() const { return WireLimit > 0 ? Rate() / WireLimit : 0; }
  double CpuShare() const { return Seconds > 0 ? CpuSeconds / Seconds : 0; }
};

TBenchResult RunBench(const TBenchOptions &Options);
// Prints the result; returns the exit code.
int ReportBench(const TBenchOptions &Options, const TBenchResult &Result);

} // namespace de30::ctl
