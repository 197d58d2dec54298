// What a station reads from the exchanges a tap hears: recorded runs of exchanges
// on a line, as a controller made them, and the readings and commands each must
// come to (capture/observation.hpp). Unpaired or failed exchanges come to
// nothing but a missed or rejected poll.

#include "capture/observation.hpp"
#include "protocol/vocabulary.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace de30;
using namespace de30::capture;
using TBytes = std::vector<std::uint8_t>;

TBytes Hex(const std::string &Text) {
  TBytes Bytes;
  std::istringstream In(Text);
  unsigned Byte = 0;
  while (In >> std::hex >> Byte)
    Bytes.push_back(static_cast<std::uint8_t>(Byte));
  return Bytes;
}

// One piece heard: an exchange (frame and what came of its reply), or bytes in
// no exchange (Frame empty).
struct TPiece {
  const char *Frame;
  const char *Reply;
};

THeard Heard(const TPiece &P) {
  THeard H;
  H.Reply = Hex(P.Reply);
  H.Frame = Hex(P.Frame);
  if (H.Frame.empty()) {
    H.Kind = THeardKind::Garbage;
    return H;
  }
  const auto *Shape = protocol::FindShape(H.Frame[1], H.Frame.size() > 2 ? H.Frame[2] : 0);
  H.ReplyLength = Shape != nullptr ? Shape->ReplyLength : 0;
  return H;
}

std::string Money(double Value) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.2f", Value);
  return Text;
}

// "pump 1 status 192 nozzle 0 held 0", "pump 1 fill 1.05 47.78", ...
std::string Described(const TObservation &O) {
  using K = TObservation::TKind;
  std::string Text = "pump " + std::to_string(O.Pump) + " " + ObservationName(O.Kind);
  switch (O.Kind) {
  case K::Status:
    return Text + (O.NozzlePoll ? " (nozzles)" : "") + " " + std::to_string(O.Code) +
           " nozzle " + std::to_string(O.Nozzle) + " held " + std::to_string(O.Shadow.Held);
  case K::Fill:
  case K::Totals:
    return Text + " " + Money(O.Volume) + " " + Money(O.Amount);
  case K::Dose:
    return Text + " " + Money(O.Volume) + (O.Taken ? " taken" : " unknown");
  case K::Prices:
    for (double Price : O.Prices)
      Text += " " + Money(Price);
    return Text;
  case K::Start:
  case K::Stop:
  case K::Unblock:
    return Text + (O.Taken ? " taken" : " unknown");
  case K::Missed:
  case K::Rejected:
    return Text + (O.NozzlePoll ? " (nozzles)" : "");
  }
  return Text;
}

struct TScenario {
  const char *Name;
  std::vector<TPiece> Pieces;
  std::vector<std::string> Expected;
};

const TScenario Scenarios[] = {
    {"a sale as a controller makes it: reading, totals, dose, start, fill",
     {
         {"00 09", "09 08 F7"},
         {"00 0A B4", "0A B4 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 01 FE"},
         {"00 02 87", "02 87 00 FF 00 FF 00 FF 00 FF 10 EF 00 FF 01 FE"},
         {"00 02 78", "02 78 00 FF 00 FF 00 FF 04 FB 55 AA 00 FF 01 FE"},
         {"00 0C 0F 00 10 00", "0C 0F 00 10 00"},
         {"00 0D F2", "0D"},
         {"00 0C E1", "0C E1"},
         {"00 0D F2", "0D"},
         {"00 0B", "0B 0A F5"},
         {"00 0A B4", "0A B4 00 FF 47 B8 78 87 00 FF 01 FE 05 FA 01 FE"},
         {"00 0C D2", "0C D2"},
         {"00 0D F2", "0D"},
     },
     {
         "pump 1 status 192 nozzle 0 held 0",
         "pump 1 fill 0.00 0.00",
         "pump 1 totals 10.00 455.00",
         "pump 1 dose 10.00 taken",
         "pump 1 start taken",
         "pump 1 status 217 nozzle 1 held 1",
         "pump 1 fill 1.05 47.78",
         "pump 1 stop taken",
     }},
    {"a multi-nozzle pump's short poll, then its nozzle poll, and its prices",
     {
         {"00 11", "11 00 FF"},
         {"00 16", "16 00 FF 00 FF"},
         {"00 14 4B 47 20 52 90 00 00 00 00 00 00", "14 4B 47 20 52 90 00 00 00 00 00 00"},
         {"00 15 EA", "15"},
         {"00 12 B4", ""}, // a fill read without a reply: no fill, but pump 2 addressed
         {"00 02 2D", "02 2D 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 01 FE "
                      "89 76 02 FD"},
         {"00 02 1E", "02 1E 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 99 66 "
                      "98 67 02 FD"},
     },
     {
         "pump 2 status 192 nozzle 0 held 0",
         // The driver's nozzle selection names the first nozzle of an idle pump.
         "pump 2 status (nozzles) 192 nozzle 1 held 0",
         "pump 2 prices 47.20 52.90 0.00 0.00 0.00",
         // The totals request names no pump: the one addressed last answers it.
         "pump 2 totals 1.89 99.98",
     }},
    {"totals count only straight after the addressed pump's exchange",
     {
         {"00 09", "09 00 FF"},
         {"", "FF"}, // garbage between: the pump the totals answer for is not known
         {"00 02 87", "02 87 00 FF 00 FF 00 FF 00 FF 10 EF 00 FF 01 FE"},
         {"00 02 78", "02 78 00 FF 00 FF 00 FF 04 FB 55 AA 00 FF 01 FE"},
         {"00 0A B4", "0A B4 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 01 FE"},
         {"00 02 87", "02 87 00 FF 00 FF 00 FF 00 FF 10 EF 00 FF 01 FE"},
         {"00 11", "11 00 FF"}, // another pump between the two requests
         {"00 02 78", "02 78 00 FF 00 FF 00 FF 04 FB 55 AA 00 FF 01 FE"},
         {"00 0A B4", "0A B4 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 01 FE"},
         {"00 02 87", "FF 87 00 FF 00 FF 00 FF 00 FF 10 EF 00 FF 01 FE"}, // rejected
         {"00 02 78", "02 78 00 FF 00 FF 00 FF 04 FB 55 AA 00 FF 01 FE"},
     },
     {
         "pump 1 status 192 nozzle 0 held 0",
         "pump 1 fill 0.00 0.00",
         "pump 2 status 192 nozzle 0 held 0",
         "pump 1 fill 0.00 0.00",
     }},
    {"failed exchanges: a miss, a rejection, nothing of a short fill, unknown commands",
     {
         {"00 09", ""},
         {"00 09", "FF 00 FF"},
         {"00 0A B4", "0A B4 00 FF 47 B8 78 87 00 FF 01 FE 05 FA 01"},
         {"00 0C E1", ""},      // the start's reply lost: no execute follows
         {"00 0C D2", "0C D2"}, // a stop whose execute was not answered
         {"00 0D F2", ""},
         {"00 0D F2", "0D"}, // an execute with no command before it
         {"00 0C 96 05 FA", "0C 96 05 FA"},
         {"00 0D F2", "0D"},
     },
     {
         "pump 1 missed",
         "pump 1 rejected",
         "pump 1 start unknown",
         "pump 1 stop unknown",
         "pump 1 unblock taken",
     }},
};

TEST(ExchangeDecoding, EachRecordedRunComesToItsReadingsAndCommands) {
  for (const TScenario &S : Scenarios) {
    SCOPED_TRACE(S.Name);
    TExchangeDecoder Decoder;
    std::vector<std::string> Seen;
    for (const TPiece &P : S.Pieces)
      for (const TObservation &O : Decoder.Decode(1, Heard(P)))
        Seen.push_back(Described(O));
    EXPECT_EQ(Seen, S.Expected);
  }
}

TEST(ExchangeDecoding, AStartTheDecoderHeardShowsInTheNextPollsShadow) {
  // The shadow driver counts the pump authorised once its start went through,
  // so the poll after it reads as the station's own driver would read it.
  TExchangeDecoder Decoder;
  for (const TPiece &P : {TPiece{"00 0C E1", "0C E1"}, TPiece{"00 0D F2", "0D"}})
    Decoder.Decode(1, Heard(P));
  const auto Polled = Decoder.Decode(1, Heard({"00 0B", "0B 09 F6"}));
  ASSERT_EQ(Polled.size(), 1u);
  EXPECT_TRUE(Polled[0].Shadow.Held);
  EXPECT_EQ(Polled[0].Code, 217);
  // Another line's shadow is its own.
  const auto Other = Decoder.Decode(2, Heard({"00 09", "09 00 FF"}));
  ASSERT_EQ(Other.size(), 1u);
  EXPECT_FALSE(Other[0].Shadow.Held);
}

} // namespace
