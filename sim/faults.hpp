#pragma once
// Faults the station puts into its replies, per line, pump or kind of frame:
// scripted (the next N matching replies) or random with a seed (each matching
// reply with a probability), so every run with the same seed sees the same
// faults.

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
  StrayByte,     // a noise byte reaches the line ahead of the reply
};

// The kind a name of de30ctl's --fault option stands for ("no-reply", ...).
std::optional<TFaultKind> FaultByName(const std::string &Name);

// What a frame asks of its pump, so that a rule can aim at one step of an
// operation: the execute command that confirms a start, the totals only.
enum class TFrameKind {
  Any,        // in a rule: every frame
  StatusPoll, // commands 1 and 3
  NozzlePoll, // command 6
  FillRead,   // command 2 with the fill code
  Totals,     // lead byte 0x02
  Set,        // command 4
  Execute,    // command 5
  Reinit,     // command 7
};

// The setting a command 4 carries, or the one an execute command carries out (the
// execute frame does not say; the pump knows what it holds).
enum class TSetAction {
  Any,  // in a rule: whatever the setting, or none
  None, // a frame that carries no setting: a command 5 with nothing held
  Start,
  Stop,
  Price, // one price or five
  Dose,
  Unblock,
};

struct TFrameAim {
  TFrameKind Kind = TFrameKind::Any;
  TSetAction Action = TSetAction::Any; // for Set and Execute
};

// A frame (lead byte first) as a rule sees it; PendingCode is the code byte of
// the command 4 the addressed pump held when the frame arrived.
TFrameAim AimOf(const TBytes &Command, std::uint8_t PendingCode);
// Whether a rule aimed at Rule matches a frame of kind Frame.
bool Hits(const TFrameAim &Rule, const TFrameAim &Frame);
// The aim a name of the --fault option's command= stands for ("poll", "start",
// "start-execute", ...), and all the names, for messages.
std::optional<TFrameAim> AimByName(const std::string &Name);
std::string AimNames();

struct TFaultRule {
  TFaultKind Kind = TFaultKind::NoReply;
  int Line = 0;             // 0: every line
  int Pump = 0;             // 0: every pump
  int Times = 1;            // replies it may still spoil; negative: no end
  double Probability = 1.0; // chance that a matching reply is spoiled
  std::int64_t DelayMs = 2000;
  std::uint8_t Status = protocol::StatusFault;
  std::uint8_t Noise = 0xFF; // the byte StrayByte puts ahead of the reply
  TFrameAim Aim = {};        // which frames' replies it spoils
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

  // Spoils Reply to Command (of kind Aim) from Pump on Line by the first rule that
  // matches and fires. Returns the kind applied.
  std::optional<TFaultKind> Apply(int Line, int Pump, const TBytes &Command,
                                  const TFrameAim &Aim, TReply &Reply);

private:
  std::vector<TFaultRule> Rules;
  std::mt19937 Random;
};

} // namespace de30::sim
