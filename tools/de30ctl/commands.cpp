#include "commands.hpp"

#include "channels/line_channel.hpp"
#include "de30/messages.hpp"
#include "protocol/vocabulary.hpp"
#include "trace.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace de30::ctl {

namespace {

std::string Name(const TPumpRef &Pump) {
  return "pump " + std::to_string(Pump.Line) + ":" + std::to_string(Pump.Pump);
}

std::vector<std::uint8_t> CommandBytes(const channels::TTraceRecord &R) {
  return {R.Frame.begin() + (R.Frame.empty() ? 0 : 1), R.Frame.end()};
}

// The driver raises nothing for a rejected reply; the line state after each
// exchange says it. Warns about every exchange from From on whose reply the
// reply check rejected.
TExitCode Verdict(TSession &S, const TPumpRef &Pump, std::size_t From = 0) {
  const auto &Done = S.Transport.Exchanges();
  int Rejected = 0;
  for (std::size_t I = From; I < Done.size(); ++I) {
    const channels::TTraceRecord &R = Done[I];
    if (R.Result != channels::ErrNone || R.State == LineAccepted)
      continue;
    std::fprintf(stderr,
                 "de30ctl: warning: %s: the reply to '%s' was rejected by the reply check "
                 "(line state %u)\n",
                 Name(Pump).c_str(), DescribeCommand(CommandBytes(R)).c_str(), R.State);
    ++Rejected;
  }
  return Rejected == 0 ? ExitOk : ExitRejected;
}

// Prints the outcome of a setting command: done, or not confirmed.
TExitCode Settled(TSession &S, const TPumpRef &Pump, const std::string &Done,
                  std::size_t From = 0) {
  const TExitCode Code = Verdict(S, Pump, From);
  std::printf("%s: %s%s\n", Name(Pump).c_str(), Done.c_str(),
              Code == ExitOk ? "" : " - NOT CONFIRMED: a reply was rejected");
  return Code;
}

// A value the driver leaves alone when its reply is rejected starts as NaN.
constexpr double Unread = std::numeric_limits<double>::quiet_NaN();

std::string Shown(double Value, const char *Unit) {
  return std::isnan(Value) ? std::string("not read (reply rejected)") : Money(Value) + Unit;
}

// The pump's own status byte from the short poll, and why a calling pump may
// still show 192.
std::string RawStatus(TSession &S, const TPumpRef &Pump, std::uint16_t Shown) {
  using namespace de30::protocol;
  std::string Text;
  for (const channels::TTraceRecord &R : S.Transport.Exchanges()) {
    const auto Command = CommandBytes(R);
    if (Command.empty() || R.Result != channels::ErrNone || R.State != LineAccepted ||
        R.Reply.size() < 2)
      continue;
    const auto Kind = LeadCommand(Command[0]);
    if (Kind == CmdReinit) {
      Text += "; the driver re-initialised the pump";
    } else if ((Kind == CmdStatus || Kind == CmdStatusAuth) && Text.empty()) {
      const std::uint8_t Status = R.Reply[1];
      Text = "; " + DescribeStatusByte(Status);
      // Calling status bytes give 225 only once the pump has reported idle since
      // the driver started; a fresh de30ctl has seen no idle yet.
      const bool Calling =
          Kind == CmdStatus && IsActiveStatus(Status) && !IsErrorStatus(Status);
      if (Calling && Shown == CodeIdle && S.Driver.AwaitIdle()[Pump.Line][Pump.Pump] != 0)
        Text += "; held at 192: the pump has not reported idle since the driver started";
    }
  }
  return Text;
}

const char *English(const char *Message) {
  static const struct {
    const char *Text;
    const char *Meaning;
  } Known[] = {
      {messages::StartPump, "authorising the pump failed"},
      {messages::StopPump, "stopping the pump failed"},
      {messages::ExecuteCommand, "the execute command failed"},
      {messages::ReinitPump, "re-initialising the pump failed"},
      {messages::SendUnblock, "the unblock command failed"},
      {messages::SetPrice, "sending the prices failed"},
      {messages::SetDoseLitres, "presetting the dose failed"},
      {messages::ReadFill, "reading the fill failed"},
      {messages::GetTotals, "reading the totals failed"},
      {messages::GetSost, "the status poll failed"},
  };
  for (const auto &K : Known)
    if (std::strcmp(K.Text, Message) == 0)
      return K.Meaning;
  return "an exchange failed";
}

} // namespace

std::string DescribeFailure(const std::exception &Failure, const TTransport &Transport) {
  if (const auto *IO = dynamic_cast<const ESerialIO *>(&Failure)) {
    std::string Text = std::string(IO->what()) + " (" + English(IO->what()) + ")";
    if (IO->Line() != 0) {
      const std::int32_t Error = IO->ChannelError();
      Text += ": line " + std::to_string(IO->Line()) + ": " +
              (Transport.LastError(IO->Line()) == Error ? Transport.LineError(IO->Line())
                                                        : channels::ErrorText(Error)) +
              ", channel error " + std::to_string(Error);
      if (IO->Absorbed())
        Text += " (the channel raised an exception; this is its last error)";
    }
    return Text;
  }
  if (const auto *Range = dynamic_cast<const ERangeError *>(&Failure)) {
    std::string Text =
        std::string(Range->what()) + " (the driver refused a value out of range)";
    if (Range->Argument()[0] != '\0')
      Text += std::string(": ") + Range->Detail();
    return Text;
  }
  return Failure.what();
}

TSostRecord PollRecord(TSession &S, const TPumpRef &Pump, int Nozzles) {
  TSostRecord Record{};
  S.Driver.GetSostEx(static_cast<std::uint8_t>(Pump.Line), static_cast<std::uint8_t>(Pump.Pump),
                     static_cast<std::uint8_t>(Nozzles), Record);
  return Record;
}

void Ident(TSession &S) {
  const TIdentString Raw = S.Driver.GetIdent();
  std::printf("%s (%u characters)\n", IdentText, Raw[0]);
  for (int Kind : {1, 2, 4}) {
    std::int32_t Value = 0;
    if (S.Driver.GetCapability(Kind, Value))
      std::printf("capability %d: %d\n", Kind, Value);
  }
}

TExitCode Poll(TSession &S, const TPumpRef &Pump, int Nozzles, bool Short) {
  S.Transport.Require(Pump);
  S.Transport.ForgetExchanges();
  if (Short) {
    const std::uint16_t Word = S.Driver.GetSost(static_cast<std::uint8_t>(Pump.Line),
                                                static_cast<std::uint8_t>(Pump.Pump));
    std::printf("%s: %s%s\n", Name(Pump).c_str(), DescribeStatus(Word).c_str(),
                RawStatus(S, Pump, Word).c_str());
    return Verdict(S, Pump);
  }
  const int Count = S.Transport.Nozzles(Pump, Nozzles);
  TSostRecord Record = PollRecord(S, Pump, Count);
  std::printf("%s: %s (active nozzle %u)%s\n", Name(Pump).c_str(),
              DescribeStatus(Record.Sost).c_str(), Record.ActiveNozzle,
              RawStatus(S, Pump, Record.Sost).c_str());
  for (int K = 1; Count >= 2 && K <= Count && K <= ReportedNozzles; ++K)
    std::printf("  nozzle %d: %s\n", K, DescribeStatus(Record.Nozzle(K)).c_str());
  return Verdict(S, Pump);
}

TExitCode Start(TSession &S, const TPumpRef &Pump) {
  S.Transport.Require(Pump);
  S.Transport.ForgetExchanges();
  S.Driver.StartPump(Pump.Line, Pump.Pump);
  return Settled(S, Pump, "authorised");
}

TExitCode Stop(TSession &S, const TPumpRef &Pump) {
  S.Transport.Require(Pump);
  S.Transport.ForgetExchanges();
  S.Driver.StopPump(Pump.Line, Pump.Pump);
  return Settled(S, Pump, "stopped");
}

TExitCode Unblock(TSession &S, const TPumpRef &Pump, int Code) {
  S.Transport.Require(Pump);
  S.Transport.ForgetExchanges();
  S.Driver.UnblockPump(Pump.Line, Pump.Pump, Code);
  return Settled(S, Pump, "re-initialised and unblocked with code " + std::to_string(Code));
}

std::size_t SendPrices(TSession &S, const TPumpRef &Pump, int Nozzles,
                       const std::map<int, double> &Prices) {
  // SetPrice sends the stored grades once the driver knows the nozzle count. So
  // every grade but the last is stored while the count is unknown, the count is
  // taught by a poll, and the last SetPrice sends all of them in one command.
  if (S.Driver.NozzleCount()[Pump.Line][Pump.Pump] != 0)
    PollRecord(S, Pump, 0);
  const auto Last = std::prev(Prices.end());
  for (auto It = Prices.begin(); It != Last; ++It)
    S.Driver.SetPrice(Pump.Line, Pump.Pump, It->first, It->second);
  PollRecord(S, Pump, Nozzles);
  const std::size_t Sending = S.Transport.Exchanges().size();
  S.Driver.SetPrice(Pump.Line, Pump.Pump, Last->first, Last->second);
  return Sending;
}

TExitCode Price(TSession &S, const TPumpRef &Pump, int Nozzles,
                const std::map<int, double> &Prices) {
  S.Transport.Require(Pump);
  const int Count = S.Transport.Nozzles(Pump, Nozzles);
  std::string Missing;
  for (const auto &[Grade, Value] : Prices) {
    if (Grade < 1 || Grade > GradeCount)
      throw ECtlError(ExitUnknown, "grade " + std::to_string(Grade) + " does not exist (1..6)");
    if (Grade > SentGrades)
      throw ECtlError(ExitUnknown, "grade 6 cannot be sent: no price command carries it "
                                   "(grade 1 for one nozzle, grades 1..5 otherwise)");
    if (Count == 1 && Grade != 1)
      throw ECtlError(ExitUnknown, Name(Pump) + " has one nozzle: it receives grade 1 only");
  }
  for (int Grade = 1; Count > 1 && Grade <= SentGrades; ++Grade)
    if (Prices.count(Grade) == 0)
      Missing += (Missing.empty() ? "" : ", ") + std::to_string(Grade);
  if (!Missing.empty())
    throw ECtlError(ExitUsage, Name(Pump) + " has " + std::to_string(Count) +
                                   " nozzles: one command sends grades 1..5, so give each "
                                   "(missing: " +
                                   Missing + "), e.g. 1=45.50 2=47.20 3=0 4=0 5=0");
  if (Prices.empty())
    throw ECtlError(ExitUsage, "give the price of grade 1, e.g. 1=45.50");
  S.Transport.ForgetExchanges();
  // The polls before the price command only taught the driver the nozzle count.
  const std::size_t From = SendPrices(S, Pump, Count, Prices);
  std::string Sent;
  for (const auto &[Grade, Value] : Prices)
    Sent += (Sent.empty() ? "" : ", ") + std::to_string(Grade) + ": " + Money(Value);
  return Settled(S, Pump, "prices sent (grade " + Sent + ")", From);
}

TExitCode DoseLitres(TSession &S, const TPumpRef &Pump, double Litres) {
  S.Transport.Require(Pump);
  S.Transport.ForgetExchanges();
  S.Driver.SetDoseLitres(Pump.Line, Pump.Pump, Litres);
  return Settled(S, Pump, "dose " + Money(Litres) + " l preset");
}

TExitCode DoseMoney(TSession &S, const TPumpRef &Pump, double Amount, double Price, int Grade) {
  S.Transport.Require(Pump);
  // The driver converts money at the grade's stored price. Stored while it knows
  // no nozzle count, the price stays in the driver and is not sent to the pump.
  if (S.Driver.NozzleCount()[Pump.Line][Pump.Pump] != 0)
    throw std::logic_error("a dose in money after a poll would send the prices");
  S.Transport.ForgetExchanges();
  S.Driver.SetPrice(Pump.Line, Pump.Pump, Grade, Price);
  const double Litres = S.Driver.MoneyToVolume(Pump.Line, Pump.Pump, Grade, Amount);
  S.Driver.SetDoseMoney(Pump.Line, Pump.Pump, Grade, Amount);
  return Settled(S, Pump,
                 "dose for " + Money(Amount) + " at " + Money(Price) +
                     " preset: " + Money(std::round(Litres * 100) / 100) + " l");
}

TExitCode Fill(TSession &S, const TPumpRef &Pump) {
  S.Transport.Require(Pump);
  S.Transport.ForgetExchanges();
  double Amount = Unread;
  double Volume = S.Driver.ReadFill(Pump.Line, Pump.Pump, Amount);
  // A rejected reply returns 0.0 for the volume, which no pump reported.
  if (S.Driver.GetLineState(static_cast<std::uint8_t>(Pump.Line)) != LineAccepted)
    Volume = Unread;
  std::printf("%s: fill volume %s, amount %s\n", Name(Pump).c_str(),
              Shown(Volume, " l").c_str(), Shown(Amount, "").c_str());
  return Verdict(S, Pump);
}

TExitCode Totals(TSession &S, const TPumpRef &Pump, int Nozzles) {
  S.Transport.Require(Pump);
  const int Count = S.Transport.Nozzles(Pump, Nozzles);
  if (Count > MaxTotalsNozzles)
    throw ECtlError(ExitUnknown, Name(Pump) + " has " + std::to_string(Count) +
                                     " nozzles: the totals requests know 1 or 2 only");
  PollRecord(S, Pump, Count);
  S.Transport.ForgetExchanges();
  double Volume = Unread;
  double Amount = Unread;
  S.Driver.GetTotals(Pump.Line, Pump.Pump, Volume, Amount);
  std::printf("%s: total volume %s, total amount %s\n", Name(Pump).c_str(),
              Shown(Volume, " l").c_str(), Shown(Amount, "").c_str());
  return Verdict(S, Pump);
}

} // namespace de30::ctl
