#include "bench.hpp"

#include "channels/serial_channel.hpp"
#include "de30/driver.hpp"
#include "exit_codes.hpp"
#include "sim/server.hpp"

#include <chrono>
#include <cstdio>
#include <sys/resource.h>
#include <thread>

namespace de30::ctl {
namespace {

constexpr int Line = 1;
constexpr int BenchNozzles = 4;
constexpr int BitsPerByte = 10; // start, eight data bits, stop

// CPU time of the calling thread only: the served station runs on a thread of its
// own in this process and must not count as the driver's.
double ThreadCpuSeconds() {
  rusage Usage{};
  ::getrusage(RUSAGE_THREAD, &Usage);
  const auto Seconds = [](const timeval &T) {
    return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_usec) / 1e6;
  };
  return Seconds(Usage.ru_utime) + Seconds(Usage.ru_stime);
}

bool PollOnce(TVM30 &Driver, int Pump, bool Multi) {
  try {
    if (Multi) {
      TSostRecord Record{};
      Driver.GetSostEx(Line, static_cast<std::uint8_t>(Pump), BenchNozzles, Record);
    } else {
      Driver.GetSost(Line, static_cast<std::uint8_t>(Pump));
    }
    return true;
  } catch (const ESerialIO &) {
    return false;
  }
}

} // namespace

TBenchResult RunBench(const TBenchOptions &Options) {
  sim::TSteadyClock Clock;
  sim::TSimStation Station(Clock);
  for (int Pump = 1; Pump <= Options.Pumps; ++Pump) {
    sim::TPumpConfig Config;
    Config.Address = static_cast<std::uint8_t>(Pump);
    Config.Nozzles = Options.MultiNozzle ? BenchNozzles : 1;
    Station.AddPump(Line, Config);
  }
  std::string Error;
  auto Server = sim::TStationServer::OnPty(Station, Line, Error);
  if (!Server)
    throw ECtlError(ExitCannotOpen, "pseudo-terminal: " + Error);
  Server->SetBaudRate(Options.BaudRate);
  Server->Start();

  channels::TSerialChannel Channel({{Line, Server->Path()}});
  auto Driver = GetDE30(0, 0, &Channel);
  if (Driver->InitLine(Line) != 0)
    throw ECtlError(ExitCannotOpen, "cannot open " + Server->Path());
  // One round first: the first poll of a pump re-initialises it.
  for (int Pump = 1; Pump <= Options.Pumps; ++Pump)
    PollOnce(*Driver, Pump, Options.MultiNozzle);

  // The server counts a reply byte once its write has returned, which can be after
  // the driver has read it: let the warm-up's last byte be counted before the
  // counts are taken, or it would fall into the measured polls.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  TBenchResult Result;
  const std::uint64_t In0 = Server->BytesReceived();
  const std::uint64_t Out0 = Server->BytesSent();
  const double Cpu0 = ThreadCpuSeconds();
  const auto Start = std::chrono::steady_clock::now();
  const auto Until = Start + std::chrono::duration<double>(Options.DurationS);
  while (std::chrono::steady_clock::now() < Until)
    for (int Pump = 1; Pump <= Options.Pumps; ++Pump) {
      if (!PollOnce(*Driver, Pump, Options.MultiNozzle))
        ++Result.Failed;
      ++Result.Polls;
    }
  Result.Seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  Result.CpuSeconds = ThreadCpuSeconds() - Cpu0;
  Server->Halt();
  Result.FrameBytes = Server->BytesReceived() - In0;
  Result.ReplyBytes = Server->BytesSent() - Out0;
  const double WireSeconds = static_cast<double>(Result.FrameBytes + Result.ReplyBytes) *
                             BitsPerByte / Options.BaudRate;
  Result.WireLimit = WireSeconds > 0 ? Result.Polls / WireSeconds : 0;
  return Result;
}

int ReportBench(const TBenchOptions &Options, const TBenchResult &R) {
  const double PerPoll =
      R.Polls > 0 ? static_cast<double>(R.FrameBytes + R.ReplyBytes) / R.Polls : 0;
  std::printf("line 1 on a pseudo-terminal at %d baud, %d pump(s), %s polls, %.1f s\n",
              Options.BaudRate, Options.Pumps,
              Options.MultiNozzle ? "four-nozzle GetSostEx" : "short GetSost", R.Seconds);
  std::printf("polls:         %ld (%ld failed)\n", R.Polls, R.Failed);
  std::printf("bytes:         %llu frame + %llu reply, %.1f a poll, %d bits each\n",
              static_cast<unsigned long long>(R.FrameBytes),
              static_cast<unsigned long long>(R.ReplyBytes), PerPoll, BitsPerByte);
  std::printf("wire limit:    %.2f polls/s\n", R.WireLimit);
  std::printf("achieved:      %.2f polls/s, %.1f %% of the wire limit\n", R.Rate(),
              100 * R.Efficiency());
  std::printf("driver CPU:    %.3f s in %.1f s, %.2f %% of one core\n", R.CpuSeconds, R.Seconds,
              100 * R.CpuShare());
  return R.Failed == 0 ? ExitOk : ExitPumpFailed;
}

} // namespace de30::ctl
