#pragma once
// Faults the station puts into its replies, per line or per pump: scripted (the
// next N matching replies) or random with a seed (each matching reply with a
// probability), so every run with the same seed sees the same faults.

#include "protocol/vocabulary.hpp"
#include "sim/frames.hpp"

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace de30::sim {

enum class TFaultKind {
  NoReply,       // the pump stays silent
  LateReply,     // the reply comes after DelayMs
  WrongEcho,     // the first reply byte is not the command's lead byte
  CorruptDigits, // a digit of a fill or totals value is not decimal
  DropByte,      // one byte of the reply is lost
  ErrorStatus,   // a status reply carries Status instead of the pump's own byte
};

// The kind a name of de30ctl's --fault option stands for ("no-reply", ...).
std::optional<TFaultKind> FaultByName(const std::string &Name);

struct TFaultRule {
  TFaultKind Kind = TFaultKind::NoReply;
  int Line = 0;             // 0: every line
  int Pump = 0;             // 0: every pump
  int Times = 1;            // replies it may still spoil; negative: no end
  double Probability = 1.0; // chance that a matching reply is spoiled
  std::int64_t DelayMs = 2000;
  std::uint8_t Status = protocol::StatusFault;
};

// A reply as the station sends it: the bytes and how long the pump takes.
struct TReply {
  TBytes Bytes;
  std::int64_t DelayMs = 0;
};

class TFaultInjector {
public:
  explicit TFaultInjector(std::uint32_t Seed = 1) : Random(Seed) {}

  void Add(const TFaultRule &Rule) { Rules.push_back(Rule); }
  void Clear() { Rules.clear(); }
  void Reseed(std::uint32_t Seed) { Random.seed(Seed); }

  // Spoils Reply to Command from Pump on Line by the first rule that matches and
  // fires. Returns the kind applied.
  std::optional<TFaultKind> Apply(int Line, int Pump, const TBytes &Command, TReply &Reply);

private:
  std::vector<TFaultRule> Rules;
  std::mt19937 Random;
};

} // namespace de30::sim
