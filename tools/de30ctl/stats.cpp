#include "stats.hpp"

#include "capture/line_stats.hpp"
#include "capture_files.hpp"
#include "de30/constants.hpp"
#include "exit_codes.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>
#include <set>

namespace de30::ctl {
namespace {

using capture::TFigures;
using TJson = nlohmann::ordered_json;

// "2026-12-08T22:50:09.123Z"
std::string IsoTime(capture::TClock::time_point At) {
  const auto Ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(At.time_since_epoch()).count();
  const std::time_t Seconds = static_cast<std::time_t>(Ms / 1000);
  std::tm Utc{};
  ::gmtime_r(&Seconds, &Utc);
  char Text[40];
  const std::size_t N = std::strftime(Text, sizeof Text, "%Y-%m-%dT%H:%M:%S", &Utc);
  std::snprintf(Text + N, sizeof Text - N, ".%03dZ", static_cast<int>(Ms % 1000));
  return Text;
}

double Rounded(double Value, double Unit) { return std::round(Value / Unit) * Unit; }

TJson FiguresJson(const TFigures &F) {
  TJson Latency = nullptr;
  if (F.Latency.Samples > 0)
    Latency = {{"median", Rounded(F.Latency.MedianMs, 0.001)},
               {"p95", Rounded(F.Latency.P95Ms, 0.001)},
               {"max", Rounded(F.Latency.MaxMs, 0.001)},
               {"exchanges", F.Latency.Samples}};
  return {{"exchanges", F.Exchanges},
          {"accepted", F.Accepted},
          {"rejected", F.Rejected},
          {"timeouts", F.Timeouts},
          {"channel_errors", F.ChannelErrors},
          {"latency_ms", Latency},
          {"wire_bytes", F.WireBytes},
          {"wire_use", Rounded(F.WireUse, 0.01)}};
}

std::string Milliseconds(const TFigures &F, double Value) {
  if (F.Latency.Samples == 0)
    return "-";
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.1f", Value);
  return Text;
}

void PrintRow(int Line, const std::string &Pump, const TFigures &F) {
  std::printf(
      "%4d  %4s  %9llu  %8llu  %8llu  %14llu  %9s  %7s  %7s  %7.1f %%\n", Line, Pump.c_str(),
      static_cast<unsigned long long>(F.Exchanges), static_cast<unsigned long long>(F.Timeouts),
      static_cast<unsigned long long>(F.Rejected),
      static_cast<unsigned long long>(F.ChannelErrors),
      Milliseconds(F, F.Latency.MedianMs).c_str(), Milliseconds(F, F.Latency.P95Ms).c_str(),
      Milliseconds(F, F.Latency.MaxMs).c_str(), F.WireUse);
}

// What a tap's captures say besides their exchanges (docs/capture.md).
struct TLooseCount {
  std::uint64_t GarbagePieces = 0, GarbageBytes = 0, StrayReplies = 0, StrayBytes = 0;
};
struct TTapFacts {
  std::set<std::int32_t> Listened;
  std::map<std::int32_t, TLooseCount> Loose;
  // Summed over the files that count them; null where they only say "not available".
  std::map<std::int32_t, std::optional<capture::TLineErrors>> Errors;
};

TTapFacts ReadTapFacts(const std::vector<std::string> &Files) {
  TTapFacts Facts;
  for (const std::string &File : Files) {
    capture::TCaptureContents C;
    try {
      C = capture::ReadCapture(File);
    } catch (const capture::ECaptureError &Error) {
      throw ECtlError(ExitCannotOpen, Error.what());
    }
    Facts.Listened.insert(C.Listened.begin(), C.Listened.end());
    for (const capture::TLooseBytes &L : C.Loose) {
      TLooseCount &Count = Facts.Loose[L.Line];
      if (L.Kind == capture::THeardKind::StrayReply) {
        ++Count.StrayReplies;
        Count.StrayBytes += L.Bytes.size();
      } else {
        ++Count.GarbagePieces;
        Count.GarbageBytes += L.Bytes.size();
      }
    }
    for (const auto &[Line, Errors] : C.LineErrors) {
      auto &Sum = Facts.Errors[Line];
      if (!Errors)
        continue;
      capture::TLineErrors Total = Sum.value_or(capture::TLineErrors{});
      Total.Framing += Errors->Framing;
      Total.Parity += Errors->Parity;
      Total.Overrun += Errors->Overrun;
      Total.Break += Errors->Break;
      Sum = Total;
    }
  }
  return Facts;
}

TJson TapJson(const TTapFacts &Facts, std::int32_t Line) {
  const auto Loose = Facts.Loose.find(Line);
  const TLooseCount Count = Loose == Facts.Loose.end() ? TLooseCount{} : Loose->second;
  TJson Out = {{"listened", Facts.Listened.contains(Line)},
               {"unpaired",
                {{"garbage_pieces", Count.GarbagePieces},
                 {"garbage_bytes", Count.GarbageBytes},
                 {"stray_replies", Count.StrayReplies},
                 {"stray_bytes", Count.StrayBytes}}}};
  const auto Errors = Facts.Errors.find(Line);
  if (Errors == Facts.Errors.end())
    Out["line_errors"] = nullptr;
  else if (!Errors->second)
    Out["line_errors"] = {{"available", false}};
  else
    Out["line_errors"] = {{"available", true},
                          {"framing", Errors->second->Framing},
                          {"parity", Errors->second->Parity},
                          {"overrun", Errors->second->Overrun},
                          {"break", Errors->second->Break}};
  return Out;
}

void PrintTapFacts(const TTapFacts &Facts, std::int32_t Line) {
  if (Facts.Listened.contains(Line)) {
    std::printf("line %d: listened by a tap, not driven: the frames are another controller's, "
                "and a timeout is a frame the tap heard no whole reply to\n",
                Line);
    const auto Loose = Facts.Loose.find(Line);
    const TLooseCount C = Loose == Facts.Loose.end() ? TLooseCount{} : Loose->second;
    const auto Count = [](std::uint64_t N, const char *One, const char *Many) {
      return std::to_string(N) + " " + (N == 1 ? One : Many);
    };
    std::printf(
        "line %d: heard in no exchange: %s of garbage in %s, %s (%s)\n", Line,
        Count(C.GarbageBytes, "byte", "bytes").c_str(),
        Count(C.GarbagePieces, "piece", "pieces").c_str(),
        Count(C.StrayReplies, "reply without its frame", "replies without their frame").c_str(),
        Count(C.StrayBytes, "byte", "bytes").c_str());
  }
  const auto Errors = Facts.Errors.find(Line);
  if (Errors != Facts.Errors.end())
    std::printf("line %d errors: %s%s\n", Line, capture::LineErrorsText(Errors->second).c_str(),
                Errors->second ? "" : " (the device does not count them)");
}

} // namespace

int RunStats(const TStatsOptions &Options) {
  const TCaptureFiles Read = ReadCaptureFiles(Options.Files);
  const TTapFacts Facts = ReadTapFacts(Read.Files);
  const capture::TCaptureStats Stats = capture::ComputeStats(Read.Exchanges);
  const double Seconds = std::chrono::duration<double>(Stats.Last - Stats.First).count();

  if (Options.Json) {
    TJson Lines = TJson::array();
    for (const auto &[Line, Figures] : Stats.Lines) {
      TJson Entry = {{"line", Line}};
      const auto Device = Read.Devices.find(Line);
      Entry["device"] = Device == Read.Devices.end() || Device->second.empty()
                            ? TJson(nullptr)
                            : TJson(Device->second);
      Entry.update(FiguresJson(Figures));
      Entry.update(TapJson(Facts, Line));
      TJson Pumps = TJson::array();
      for (const auto &[Key, PumpFigures] : Stats.Pumps)
        if (Key.first == Line) {
          TJson Pump = {{"pump", Key.second == 0 ? TJson(nullptr) : TJson(Key.second)}};
          Pump.update(FiguresJson(PumpFigures));
          Pumps.push_back(std::move(Pump));
        }
      Entry["pumps"] = std::move(Pumps);
      Lines.push_back(std::move(Entry));
    }
    const bool Any = Stats.Exchanges > 0;
    const TJson Out = {{"files", Read.Files},
                       {"first", Any ? TJson(IsoTime(Stats.First)) : TJson(nullptr)},
                       {"last", Any ? TJson(IsoTime(Stats.Last)) : TJson(nullptr)},
                       {"duration_s", Rounded(Seconds, 0.001)},
                       {"exchanges", Stats.Exchanges},
                       {"baud_rate", LineBaudRate},
                       {"lines", Lines},
                       {"warnings", Read.Warnings}};
    std::printf("%s\n", Out.dump(2).c_str());
    return ExitOk;
  }

  for (const std::string &Warning : Read.Warnings)
    std::fprintf(stderr, "de30ctl: warning: %s\n", Warning.c_str());
  const std::string Files = Read.Files.size() == 1
                                ? Read.Files.front()
                                : std::to_string(Read.Files.size()) + " files";
  if (Stats.Exchanges == 0) {
    std::printf("%s: no exchanges\n", Files.c_str());
    return ExitOk;
  }
  std::printf("%s: %llu exchanges from %s to %s (%.1f s)\n", Files.c_str(),
              static_cast<unsigned long long>(Stats.Exchanges), IsoTime(Stats.First).c_str(),
              IsoTime(Stats.Last).c_str(), Seconds);
  std::printf("latency: first byte sent to last byte received, of whole replies; wire use: "
              "bytes both ways against a %d-baud line\n\n",
              LineBaudRate);
  std::printf("line  pump  exchanges  timeouts  rejected  channel errors  median ms   p95 ms"
              "   max ms  wire use\n");
  for (const auto &[Line, Figures] : Stats.Lines) {
    PrintRow(Line, "all", Figures);
    for (const auto &[Key, PumpFigures] : Stats.Pumps)
      if (Key.first == Line)
        PrintRow(Line, Key.second == 0 ? "-" : std::to_string(Key.second), PumpFigures);
  }
  bool Said = false;
  for (const auto &[Line, Figures] : Stats.Lines)
    if (Facts.Listened.contains(Line) || Facts.Errors.contains(Line)) {
      if (!Said)
        std::printf("\n");
      Said = true;
      PrintTapFacts(Facts, Line);
    }
  return ExitOk;
}

} // namespace de30::ctl
