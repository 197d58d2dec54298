#include "replay.hpp"

#include "capture/line_stats.hpp"
#include "capture/replay.hpp"
#include "capture_files.hpp"
#include "de30/constants.hpp"
#include "exit_codes.hpp"
#include "serve_lines.hpp"
#include "sim/frames.hpp"
#include "sim/server.hpp"
#include "trace.hpp"

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace de30::ctl {
namespace {

// How often the progress line is printed while something happens.
constexpr auto ProgressEvery = std::chrono::seconds(5);

// Every line of the capture, answered from it. The lines' servers call in on
// threads of their own.
class TReplayStation final : public sim::TLineResponder {
public:
  void AddLine(int Line, std::vector<capture::TCapturedExchange> Exchanges) {
    Lines.emplace(Line, TLine{sim::TFrameParser{}, capture::TReplayLine(std::move(Exchanges))});
  }

  std::vector<sim::TReply> Receive(int Line, const std::uint8_t *Data,
                                   std::size_t Count) override {
    const std::lock_guard<std::mutex> Guard(Lock);
    std::vector<sim::TReply> Replies;
    const auto Found = Lines.find(Line);
    if (Found == Lines.end())
      return Replies;
    TLine &L = Found->second;
    for (const sim::TBytes &Command : L.Parser.Feed(Data, Count)) {
      // Byte by byte: GCC 12's optimiser misjudges the bounds of an insert
      // after a one-byte vector and would stop release builds.
      std::vector<std::uint8_t> Frame;
      Frame.reserve(Command.size() + 1);
      Frame.push_back(FrameStart);
      for (const std::uint8_t Byte : Command)
        Frame.push_back(Byte);
      const capture::TCapturedExchange *Captured = L.Replay.Answer(Frame);
      // A timeout was silence, or the bytes that did arrive.
      if (Captured != nullptr && !Captured->Reply.empty())
        Replies.push_back({Captured->Reply, 0});
    }
    return Replies;
  }

  struct TCounts {
    std::size_t Served = 0;
    std::uint64_t Unmatched = 0;
  };
  TCounts Counts() const {
    const std::lock_guard<std::mutex> Guard(Lock);
    TCounts C;
    for (const auto &[Line, L] : Lines) {
      C.Served += L.Replay.Served();
      C.Unmatched += L.Replay.Unmatched();
    }
    return C;
  }

  // After the servers have stopped.
  void Report(std::FILE *Out) const {
    const std::lock_guard<std::mutex> Guard(Lock);
    std::size_t Served = 0, Servable = 0;
    std::uint64_t Unmatched = 0;
    for (const auto &[Line, L] : Lines) {
      Served += L.Replay.Served();
      Servable += L.Replay.Servable();
      Unmatched += L.Replay.Unmatched();
    }
    std::fprintf(
        Out, "replay: %zu of %zu captured exchanges served, %llu request%s unmatched\n", Served,
        Servable, static_cast<unsigned long long>(Unmatched), Unmatched == 1 ? "" : "s");
    for (const auto &[Line, L] : Lines) {
      const auto &R = L.Replay;
      std::fprintf(Out, "line %d: %zu of %zu served, %llu unmatched", Line, R.Served(),
                   R.Servable(), static_cast<unsigned long long>(R.Unmatched()));
      if (L.Parser.Garbage() > 0)
        std::fprintf(Out, ", %zu bytes that fit no frame", L.Parser.Garbage());
      std::fprintf(Out, "\n");
      for (const auto &[Frame, Times] : R.UnmatchedRequests()) {
        const std::vector<std::uint8_t> Command(Frame.begin() + 1, Frame.end());
        std::string Bytes = Hex(Frame);
        Bytes.pop_back();
        std::fprintf(Out, "  not in the capture: %s (%s), %llu time%s\n", Bytes.c_str(),
                     DescribeCommand(Command).c_str(), static_cast<unsigned long long>(Times),
                     Times == 1 ? "" : "s");
      }
    }
  }

private:
  struct TLine {
    sim::TFrameParser Parser;
    capture::TReplayLine Replay;
  };
  mutable std::mutex Lock;
  std::map<int, TLine> Lines;
};

// "pumps 1, 2" of the frames a line's exchanges address.
std::string PumpsOf(const std::vector<capture::TCapturedExchange> &Exchanges) {
  std::set<int> Pumps;
  capture::TPumpOfFrame Addressed;
  for (const auto &E : Exchanges)
    if (const int Pump = Addressed.Pump(E.Frame); Pump > 0)
      Pumps.insert(Pump);
  std::string Text;
  for (int Pump : Pumps)
    Text += (Text.empty() ? "" : ", ") + std::to_string(Pump);
  return Pumps.empty() ? "no pump" : (Pumps.size() == 1 ? "pump " : "pumps ") + Text;
}

} // namespace

int RunReplay(const TReplayOptions &Options, const std::atomic<bool> &Stop) {
  if (Options.Pty == (Options.Port >= 0))
    throw ECtlError(ExitUsage, "serve either on --pty or on --port PORT");
  const TCaptureFiles Read = ReadCaptureFiles(Options.Files);
  for (const std::string &Warning : Read.Warnings)
    std::fprintf(stderr, "de30ctl: warning: %s\n", Warning.c_str());
  std::map<int, std::vector<capture::TCapturedExchange>> ByLine;
  for (const auto &[Line, Device] : Read.Devices)
    ByLine[Line];
  for (const auto &E : Read.Exchanges)
    ByLine[E.Line].push_back(E);
  if (Read.Exchanges.empty())
    throw ECtlError(ExitCannotOpen, "no exchange to replay in " +
                                        std::to_string(Read.Files.size()) +
                                        (Read.Files.size() == 1 ? " file" : " files"));

  TReplayStation Station;
  for (auto &[Line, Exchanges] : ByLine) {
    const auto Device = Read.Devices.find(Line);
    std::printf("line %d: %zu exchanges captured on %s, %s\n", Line, Exchanges.size(),
                Device == Read.Devices.end() || Device->second.empty() ? "a device not named"
                                                                       : Device->second.c_str(),
                PumpsOf(Exchanges).c_str());
    Station.AddLine(Line, std::move(Exchanges));
  }

  std::vector<int> Lines;
  for (const auto &[Line, Unused] : ByLine)
    Lines.push_back(Line);
  // The captured replies come at the pace of the line they were captured on.
  TServedLines Served = ServeLines(Station, Lines, Options.Pty, Options.Port, LineBaudRate);
  for (auto &Server : Served.Servers)
    Server->Start();
  std::printf("try: de30ctl%s and the commands of the captured run\n", Served.Options.c_str());
  std::fflush(stdout);

  const auto Began = std::chrono::steady_clock::now();
  const auto Until = Began + std::chrono::seconds(Options.DurationS);
  auto NextProgress = Began + ProgressEvery;
  TReplayStation::TCounts Shown;
  while (!Stop && (Options.DurationS == 0 || std::chrono::steady_clock::now() < Until)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (std::chrono::steady_clock::now() < NextProgress)
      continue;
    NextProgress += ProgressEvery;
    const auto Now = Station.Counts();
    if (Now.Served != Shown.Served || Now.Unmatched != Shown.Unmatched)
      std::printf("replay: %zu exchanges served, %llu request%s unmatched\n", Now.Served,
                  static_cast<unsigned long long>(Now.Unmatched),
                  Now.Unmatched == 1 ? "" : "s");
    std::fflush(stdout);
    Shown = Now;
  }
  for (auto &Server : Served.Servers)
    Server->Halt();
  Station.Report(stdout);
  std::fflush(stdout);
  return ExitOk;
}

} // namespace de30::ctl
