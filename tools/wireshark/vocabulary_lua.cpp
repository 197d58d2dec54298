// de30_wireshark_vocabulary: the wire vocabulary as the Lua table the Wireshark
// dissector (de30.lua) decodes with.
//
// The dissector is a plain Lua file that Wireshark loads from its plugin folder or
// from `-X lua_script:`, so it must work without a build. Its vocabulary section is
// therefore committed, and this program keeps it honest: it prints the section from
// the driver's own tables (commands and their shapes, code bytes, status bytes,
// nozzle nibbles, field positions), the channel's error texts, de30ctl's status byte
// names and the capture file's header numbers. The suite runs it with --check, which
// fails as soon as the committed section differs; `cmake --build build/default
// --target wireshark_vocabulary` (or --update FILE) rewrites the section. A command
// or code byte added to the vocabulary without a name here stops it with a message.
//
//   de30_wireshark_vocabulary                 the section, on standard output
//   de30_wireshark_vocabulary --check FILE    exit 1 when FILE's section differs
//   de30_wireshark_vocabulary --update FILE   rewrites FILE's section

#include "capture/exchange.hpp"
#include "channels/line_channel.hpp"
#include "protocol/vocabulary.hpp"
#include "trace.hpp"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

using namespace de30::protocol;

constexpr const char *Begin = "-- @generated vocabulary begin";
constexpr const char *End = "-- @generated vocabulary end";

struct TName {
  std::uint8_t Value;
  const char *Name;
};

// What each command number asks of the pump.
constexpr TName CommandNames[] = {
    {CmdStatus, "status poll"},
    {CmdRead, "read"},
    {CmdStatusAuth, "status poll (authorised)"},
    {CmdSet, "set"},
    {CmdExecute, "execute"},
    {CmdNozzles, "nozzle status"},
    {CmdReinit, "re-initialise"},
};

// What each code byte selects.
constexpr TName CodeNames[] = {
    {CodeStart, "start"},
    {CodeStop, "stop"},
    {CodeDose, "dose in litres"},
    {CodePriceOne, "price, one grade"},
    {CodePriceFive, "prices, five grades"},
    {CodeUnblock, "unblock"},
    {CodeFill, "fill data"},
    {CodeTotals1First, "totals, first request, one nozzle group"},
    {CodeTotals2First, "totals, first request, two nozzle groups"},
    {CodeTotals1Second, "totals, second request, one nozzle group"},
    {CodeTotals2Second, "totals, second request, two nozzle groups"},
};

// What the driver makes of each nibble of the multi-nozzle reply; every other
// nibble reads as idle.
constexpr TName NibbleNames[] = {
    {NibbleIdle, "idle"},
    {NibbleFinished, "fill ended"},
    {NibbleCalling, "nozzle lifted"},
    {NibbleFlowing, "authorised or fuelling"},
    {NibbleReady, "ready"},
};
constexpr const char *NibbleOther = "other, read as idle";

template <std::size_t N> const char *NameOf(const TName (&Names)[N], std::uint8_t Value) {
  for (const TName &Name : Names)
    if (Name.Value == Value)
      return Name.Name;
  return nullptr;
}

std::string Hex(unsigned Value) {
  char Text[8];
  std::snprintf(Text, sizeof Text, "0x%02X", Value);
  return Text;
}

std::string Quoted(const char *Text) {
  std::string Out = "\"";
  for (const char *C = Text; *C != 0; ++C) {
    if (*C == '"' || *C == '\\')
      Out += '\\';
    Out += *C;
  }
  return Out + "\"";
}

// A missing name is a new constant nobody named yet: the section cannot be made.
struct EUnnamed {
  std::string What;
};

const char *Need(const char *Name, const std::string &What) {
  if (Name == nullptr)
    throw EUnnamed{What};
  return Name;
}

// The request number (1 or 2) and nozzle groups of a totals shape; 0 when Shape
// is no totals request.
void TotalsOf(const TCommandShape &Shape, int &Request, int &Groups) {
  Request = 0;
  Groups = 0;
  for (int N = 1; N <= 2; ++N) {
    if (Shape.Code == TotalsFirst(N).Code)
      Request = 1, Groups = N;
    if (Shape.Code == TotalsSecond(N).Code)
      Request = 2, Groups = N;
  }
}

// Where NozzleNibble finds nozzle K: the reply position and the shift of its nibble.
void NozzlePlace(int K, int &At, int &Shift) {
  for (At = 0; At < ShapeNozzles.ReplyLength; ++At)
    for (Shift = 0; Shift <= 4; Shift += 4) {
      std::uint8_t Reply[ShapeNozzles.ReplyLength] = {};
      Reply[At] = static_cast<std::uint8_t>(0xF << Shift);
      if (NozzleNibble(Reply, K) == 0xF)
        return;
    }
  throw EUnnamed{"the place of nozzle " + std::to_string(K)};
}

template <std::size_t N>
void Names(std::ostream &Out, const char *Key, const TName (&List)[N]) {
  Out << "  " << Key << " = {\n";
  for (const TName &Name : List)
    Out << "    [" << Hex(Name.Value) << "] = " << Quoted(Name.Name) << ",\n";
  Out << "  },\n";
}

std::string Section() {
  std::ostringstream Out;
  Out << Begin << "\n"
      << "-- Made by de30_wireshark_vocabulary from the driver's wire vocabulary; do not\n"
      << "-- edit. Regenerate: cmake --build build/default --target wireshark_vocabulary\n"
      << "local V = {\n";
  using de30::capture::TOutcome;
  Out << "  -- the capture file's header in front of every packet\n"
      << "  header_bytes = " << de30::capture::HeaderSize << ",\n"
      << "  header_version = " << int{de30::capture::HeaderVersion} << ",\n"
      << "  outcome = { accepted = " << int(TOutcome::Accepted)
      << ", rejected = " << int(TOutcome::Rejected) << ", timeout = " << int(TOutcome::Timeout)
      << ", channel_error = " << int(TOutcome::ChannelError) << " },\n"
      << "  outcomes = {";
  for (std::uint8_t O = 0; O < de30::capture::OutcomeCount; ++O)
    Out << " [" << int{O} << "] = " << Quoted(de30::capture::OutcomeName(TOutcome(O))) << ",";
  using de30::capture::THeardKind;
  Out << " [" << int{de30::capture::LooseOutcome} << "] = \"heard in no exchange\", },\n"
      << "  -- a tap's bytes in no exchange: that outcome, exchange 0, the kind in the result\n"
      << "  loose_outcome = " << int{de30::capture::LooseOutcome} << ",\n"
      << "  loose_kinds = { [" << int(THeardKind::Garbage)
      << "] = " << Quoted(de30::capture::HeardKindName(THeardKind::Garbage)) << ", ["
      << int(THeardKind::StrayReply)
      << "] = " << Quoted(de30::capture::HeardKindName(THeardKind::StrayReply)) << " },\n";
  Out << "  -- the line\n"
      << "  frame_start = " << Hex(de30::FrameStart) << ",\n"
      << "  totals_lead = " << Hex(TotalsLead) << ",\n"
      << "  wire_scale = " << de30::WireScale << ",\n"
      << "  lead_at = " << LeadAt << ",\n"
      << "  code_at = " << CodeAt << ",\n";

  Out << "  -- command numbers, the low three bits of a lead byte\n";
  Names(Out, "commands", CommandNames);
  Out << "  cmd = { status = " << int{CmdStatus} << ", read = " << int{CmdRead}
      << ", status_auth = " << int{CmdStatusAuth} << ", set = " << int{CmdSet}
      << ", execute = " << int{CmdExecute} << ",\n"
      << "    nozzles = " << int{CmdNozzles} << ", reinit = " << int{CmdReinit} << " },\n";
  Out << "  -- code bytes, position 1 of a command 4 and of the read requests\n";
  Names(Out, "codes", CodeNames);
  Out << "  code = { start = " << Hex(CodeStart) << ", stop = " << Hex(CodeStop)
      << ", dose = " << Hex(CodeDose) << ", price_one = " << Hex(CodePriceOne)
      << ", price_five = " << Hex(CodePriceFive) << ",\n"
      << "    unblock = " << Hex(CodeUnblock) << ", fill = " << Hex(CodeFill) << " },\n";

  Out << "  -- every command the driver sends; send and reply lengths in bytes, without\n"
      << "  -- the frame's leading byte\n"
      << "  shapes = {\n";
  for (const TCommandShape &Shape : CommandShapes) {
    const std::string What = "command " + std::to_string(Shape.Command) + " code " +
                             Hex(Shape.Code) + " (" + Shape.Operation + ")";
    const char *Name = Shape.Code == NoCode ? NameOf(CommandNames, Shape.Command)
                                            : NameOf(CodeNames, Shape.Code);
    int Request = 0, Groups = 0;
    TotalsOf(Shape, Request, Groups);
    Out << "    { command = " << int{Shape.Command}
        << ", code = " << (Shape.Code == NoCode ? std::string("nil") : Hex(Shape.Code))
        << ", send = " << int{Shape.SendLength} << ", reply = " << int{Shape.ReplyLength}
        << ", operation = " << Quoted(Shape.Operation) << ",\n"
        << "      name = " << Quoted(Need(Name, What));
    if (Request != 0)
      Out << ", totals_request = " << Request << ", groups = " << Groups;
    Out << " },\n";
  }
  Out << "  },\n";

  Out << "  -- status bytes (position 1 of a status reply) by their name in de30ctl's\n"
      << "  -- trace; a byte not listed is " << Quoted(de30::ctl::StatusNameOther) << "\n"
      << "  status_byte_at = " << StatusByteAt << ",\n"
      << "  status_other = " << Quoted(de30::ctl::StatusNameOther) << ",\n"
      << "  status_names = {\n";
  std::string Line = "   ";
  for (unsigned S = 0; S <= 255; ++S) {
    const char *Name = de30::ctl::StatusByteName(static_cast<std::uint8_t>(S));
    if (std::strcmp(Name, de30::ctl::StatusNameOther) == 0)
      continue;
    const std::string Entry = " [" + Hex(S) + "] = " + Quoted(Name) + ",";
    if (Line.size() + Entry.size() > 96) {
      Out << Line << "\n";
      Line = "   ";
    }
    Line += Entry;
  }
  Out << Line << "\n  },\n"
      << "  status_active_bit = " << Hex(StatusActiveBit) << ",\n"
      << "  status_error_bits = " << Hex(StatusErrorBits) << ",\n"
      << "  reinit_statuses = {";
  for (std::uint8_t S : ReinitStatuses)
    Out << " [" << Hex(S) << "] = true,";
  Out << " },\n";

  Out << "  -- the multi-nozzle reply: where each nozzle's nibble stands\n";
  Names(Out, "nibbles", NibbleNames);
  Out << "  nibble_other = " << Quoted(NibbleOther) << ",\n"
      << "  nozzles = {\n";
  for (int K = 1; K <= de30::ReportedNozzles; ++K) {
    int At = 0, Shift = 0;
    NozzlePlace(K, At, Shift);
    Out << "    { at = " << At << ", shift = " << Shift << " },\n";
  }
  Out << "  },\n";

  Out << "  -- command fields: prices and the dose in packed BCD, hundredths\n"
      << "  price_bytes = " << PriceBytes << ",\n"
      << "  price_at = {";
  for (int G = 1; G <= GradesSeveralNozzles; ++G)
    Out << " " << PriceAt(G) << ",";
  Out << " },\n"
      << "  price_grades = { [" << Hex(CodePriceOne) << "] = " << GradesOneNozzle << ", ["
      << Hex(CodePriceFive) << "] = " << GradesSeveralNozzles << " },\n"
      << "  dose_at = " << DoseAt << ",\n"
      << "  dose_bytes = " << DoseBytes << ",\n"
      << "  unblock_code_at = " << UnblockCodeAt << ",\n";

  Out << "  -- reply fields: values in packed BCD at every second position, hundredths\n"
      << "  fill_value_bytes = " << FillValueBytes << ",\n"
      << "  fill_amount_at = " << FillAmountAt << ",\n"
      << "  fill_volume_at = " << FillVolumeAt << ",\n"
      << "  fill_nozzle_at = " << FillNozzleAt << ",\n"
      << "  totals_group_bytes = " << TotalsGroupBytes << ",\n"
      << "  total_value_bytes = " << TotalValueBytes << ",\n"
      << "  totals_at = {";
  for (int G = 1; G <= 2; ++G)
    Out << " " << TotalsAt(G) << ",";
  Out << " },\n"
      << "  totals_groups_of = {";
  for (int G = 1; G <= 2; ++G)
    Out << " [" << int{TotalsReplyLength(G)} << "] = " << TotalsGroups(TotalsReplyLength(G))
        << ",";
  Out << " },\n"
      << "  totals_nozzles_at = {";
  for (int G = 1; G <= 2; ++G)
    Out << " " << TotalsAt(G) + TotalsGroupBytes << ",";
  Out << " },\n";

  Out << "  -- the channel's result numbers\n"
      << "  channel_errors = {\n";
  const std::string Unknown = de30::channels::ErrorText(-1);
  for (int E = 0; E <= 255; ++E)
    if (Unknown != de30::channels::ErrorText(E))
      Out << "    [" << E << "] = " << Quoted(de30::channels::ErrorText(E)) << ",\n";
  Out << "  },\n"
      << "  channel_error_other = " << Quoted(Unknown.c_str()) << ",\n"
      << "}\n"
      << End << "\n";
  return Out.str();
}

bool Read(const char *Path, std::string &Text) {
  std::ifstream In(Path, std::ios::binary);
  if (!In)
    return false;
  Text.assign(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
  return true;
}

// The committed section of Text, markers included, as First and Length.
bool Find(const std::string &Text, std::size_t &First, std::size_t &Length) {
  First = Text.find(Begin);
  const std::size_t Last = Text.find(End);
  if (First == std::string::npos || Last == std::string::npos || Last < First)
    return false;
  const std::size_t Stop = Text.find('\n', Last);
  Length = (Stop == std::string::npos ? Text.size() : Stop + 1) - First;
  return true;
}

// The first line where A and B differ, for the message.
std::string FirstDifference(const std::string &A, const std::string &B) {
  std::istringstream InA(A), InB(B);
  std::string LineA, LineB;
  for (int Number = 1;; ++Number) {
    const bool MoreA = static_cast<bool>(std::getline(InA, LineA));
    const bool MoreB = static_cast<bool>(std::getline(InB, LineB));
    if (!MoreA && !MoreB)
      return "";
    if (!MoreA || !MoreB || LineA != LineB)
      return "section line " + std::to_string(Number) +
             ":\n  committed: " + (MoreA ? LineA : "(end)") +
             "\n  generated: " + (MoreB ? LineB : "(end)");
  }
}

int Usage() {
  std::fprintf(stderr, "usage: de30_wireshark_vocabulary [--check FILE | --update FILE]\n");
  return 2;
}

} // namespace

int main(int Argc, char **Argv) {
  std::string Generated;
  try {
    Generated = Section();
  } catch (const EUnnamed &Error) {
    std::fprintf(stderr, "de30_wireshark_vocabulary: %s has no name; name it here first\n",
                 Error.What.c_str());
    return 2;
  }
  if (Argc == 1) {
    std::fputs(Generated.c_str(), stdout);
    return 0;
  }
  if (Argc != 3 ||
      (std::strcmp(Argv[1], "--check") != 0 && std::strcmp(Argv[1], "--update") != 0))
    return Usage();
  const char *Path = Argv[2];
  std::string Text;
  std::size_t First = 0, Length = 0;
  if (!Read(Path, Text)) {
    std::fprintf(stderr, "%s: cannot read it\n", Path);
    return 2;
  }
  if (!Find(Text, First, Length)) {
    std::fprintf(stderr, "%s: no \"%s\" ... \"%s\" section\n", Path, Begin, End);
    return 2;
  }
  const std::string Committed = Text.substr(First, Length);
  if (std::strcmp(Argv[1], "--check") == 0) {
    if (Committed == Generated)
      return 0;
    std::fprintf(stderr,
                 "%s: the vocabulary section differs from the driver's wire vocabulary\n%s\n"
                 "regenerate it: cmake --build build/default --target wireshark_vocabulary\n",
                 Path, FirstDifference(Committed, Generated).c_str());
    return 1;
  }
  if (Committed == Generated)
    return 0;
  Text.replace(First, Length, Generated);
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out << Text;
  if (!Out.flush()) {
    std::fprintf(stderr, "%s: cannot write it\n", Path);
    return 2;
  }
  std::printf("%s: vocabulary section rewritten\n", Path);
  return 0;
}
