#include "support/script_channel.hpp"

#include <cstdio>
#include <stdexcept>

namespace de30::test {

std::int32_t TScriptChannel::LastError(std::int32_t Line) {
  Events.push_back(TEvent::Of(TEvent::LastError, Line));
  return LastErrorValue;
}

void TScriptChannel::SetError(std::int32_t Line, std::int32_t Code) {
  Events.push_back(TEvent::Of(TEvent::SetError, Line, Code));
}

void TScriptChannel::SetState(std::int32_t Line, std::int32_t State) {
  Events.push_back(TEvent::Of(TEvent::SetState, Line, State));
  States[Line & 0xFF] = static_cast<std::uint8_t>(State);
}

std::uint8_t TScriptChannel::GetState(std::int32_t Line) {
  Events.push_back(TEvent::Of(TEvent::GetState, Line));
  if (GetStateThrows)
    throw std::runtime_error("state unavailable");
  return StateOverride != 0 ? StateOverride : States[Line & 0xFF];
}

std::int32_t TScriptChannel::SetupLine(std::int32_t Line, std::int32_t Parameter,
                                       std::int32_t BaudRate) {
  Events.push_back(TEvent::Of(TEvent::SetupLine, Line, Parameter, BaudRate));
  return SetupResult;
}

std::int32_t TScriptChannel::Transact(std::int32_t Line, std::int32_t Line2,
                                      const std::uint8_t *Frame, std::uint8_t FrameLength,
                                      std::uint8_t *Reply, std::uint8_t ReplyLength,
                                      std::uint8_t Lead) {
  TEvent Event = TEvent::Of(TEvent::Transact, Line);
  Event.Line2 = Line2;
  Event.Frame.assign(Frame, Frame + FrameLength);
  Event.ReplyLength = ReplyLength;
  Event.Lead = Lead;
  Events.push_back(Event);

  TAnswer Answer;
  if (!Script.empty()) {
    Answer = Script.front();
    Script.pop_front();
  }
  if (Answer.ThrowOther)
    throw 42;
  if (Answer.ThrowStd)
    throw std::runtime_error("line failure");
  const TBytes Sent(Frame + 1, Frame + FrameLength);
  TBytes Received = Answer.Reply;
  Received.resize(ReplyLength, 0);
  if (ReplyLength > 0 && !Sent.empty()) {
    if (Answer.Reject)
      Received[0] = static_cast<std::uint8_t>(~Sent[0]);
    else if (Answer.EchoLead)
      Received[0] = Sent[0];
  }
  for (std::size_t I = 0; I < Received.size(); ++I)
    Reply[I] = Received[I];
  if (!Answer.SkipCheck && Checks[Line & 0xFF] != nullptr && ReplyLength > 0)
    Checks[Line & 0xFF](CheckData[Line & 0xFF], Line, Sent.data(), Received.data());
  return Answer.Result;
}

void TScriptChannel::SetReplyCheck(std::int32_t Line, TReplyCheck Check, void *Data) {
  TEvent Event = TEvent::Of(TEvent::SetReplyCheck, Line);
  Event.Check = Check;
  Event.Data = Data;
  Events.push_back(Event);
  Checks[Line & 0xFF] = Check;
  CheckData[Line & 0xFF] = Data;
}

void TScriptChannel::SetLineSetup(std::int32_t Line, TLineSetup Setup, void *Data) {
  TEvent Event = TEvent::Of(TEvent::SetLineSetup, Line);
  Event.Setup = Setup;
  Event.Data = Data;
  Events.push_back(Event);
}

void TScriptChannel::Pause(std::uint32_t Milliseconds) {
  Events.push_back(TEvent::Of(TEvent::Pause, 0, static_cast<std::int32_t>(Milliseconds)));
}

TScriptChannel &TScriptChannel::Answer(TAnswer A) {
  Script.push_back(std::move(A));
  return *this;
}

std::vector<TEvent> TScriptChannel::Transactions() const {
  std::vector<TEvent> Result;
  for (const TEvent &E : Events)
    if (E.Kind == TEvent::Transact)
      Result.push_back(E);
  return Result;
}

std::vector<TBytes> TScriptChannel::Frames() const {
  std::vector<TBytes> Result;
  for (const TEvent &E : Transactions())
    Result.push_back(E.Frame);
  return Result;
}

std::vector<std::int32_t> TScriptChannel::Pauses() const {
  std::vector<std::int32_t> Result;
  for (const TEvent &E : Events)
    if (E.Kind == TEvent::Pause)
      Result.push_back(E.Value);
  return Result;
}

std::vector<std::string> TScriptChannel::Wire() const {
  std::vector<std::string> Result;
  for (const TEvent &E : Events) {
    if (E.Kind == TEvent::Pause) {
      Result.push_back("pause " + std::to_string(E.Value));
    } else if (E.Kind == TEvent::Transact) {
      std::string Text;
      char Hex[8];
      for (std::uint8_t B : E.Frame) {
        std::snprintf(Hex, sizeof Hex, "%02X ", B);
        Text += Hex;
      }
      std::snprintf(Hex, sizeof Hex, "@%02X", E.Lead);
      Result.push_back(Text + "/" + std::to_string(E.ReplyLength) + " " + Hex);
    }
  }
  return Result;
}

} // namespace de30::test
