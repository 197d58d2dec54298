// What a tap writes: raw recordings read back exactly and refuse lines that are
// not theirs; a listened capture carries its flag, the bytes heard in no exchange
// and the line's error counts, and `de30ctl stats` shows them; captures written
// before any of this read as they always did.

#include "capture/raw_recording.hpp"
#include "capture/reader.hpp"
#include "capture/writer.hpp"
#include "station/temp_dir.hpp"
#include "support/run_program.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using namespace de30;
using namespace de30::capture;
using TBytes = std::vector<std::uint8_t>;
using std::chrono::microseconds;

const TClock::time_point Start = TClock::time_point(std::chrono::seconds(1796780000));

TEST(RawRecording, EachLineIsAReadACommentOrAnError) {
  struct TCase {
    const char *Line;
    bool Read;
    std::int64_t Micros; // after Start
    TBytes Bytes;
  };
  const TCase Reads[] = {
      {"1796780000.123456 00 09", true, 123456, {0x00, 0x09}},
      {"1796780000 0a FF", true, 0, {0x0A, 0xFF}},
      {"1796780000.5", true, 500000, {}},
      {"1796780000.000001  00   09 \r", true, 1, {0x00, 0x09}},
      {"", false, 0, {}},
      {"# anything else", false, 0, {}},
  };
  for (const TCase &C : Reads) {
    SCOPED_TRACE(C.Line);
    TRawHeader Header;
    TClock::time_point At;
    TBytes Bytes;
    EXPECT_EQ(ParseRawLine(C.Line, Header, At, Bytes), C.Read);
    if (C.Read) {
      EXPECT_EQ(At, Start + microseconds(C.Micros));
      EXPECT_EQ(Bytes, C.Bytes);
    }
  }
  TRawHeader Header;
  TClock::time_point At;
  TBytes Bytes;
  EXPECT_FALSE(ParseRawLine("# baud 9600", Header, At, Bytes));
  EXPECT_FALSE(ParseRawLine("# device /dev/ttyUSB0", Header, At, Bytes));
  EXPECT_EQ(Header.BaudRate, 9600);
  EXPECT_EQ(Header.Device, "/dev/ttyUSB0");

  const char *Refused[] = {
      "1796780000.1 0G", "1796780000.1 009", "x 00", "1796780000.1234567891 00",
      "# baud fast",     "# baud 0",         "-5 00"};
  for (const char *Line : Refused)
    EXPECT_THROW(ParseRawLine(Line, Header, At, Bytes), ECaptureError) << Line;
}

TEST(RawRecording, WhatTheRecorderWritesReadsBackWithItsHeader) {
  test::TTempDir Dir;
  const std::string Path = Dir / "line.raw";
  const std::vector<std::pair<TClock::time_point, TBytes>> Written = {
      {Start + microseconds(4167), {0x00}},
      {Start + microseconds(8334), {0x09, 0x09, 0x00, 0xFF}},
      {Start + std::chrono::seconds(3), TBytes(200, 0xA5)},
  };
  {
    TRawRecorder Recorder(Path, {2400, "/dev/ttyUSB0"});
    for (const auto &[At, Bytes] : Written)
      Recorder.Write(At, Bytes.data(), Bytes.size());
    EXPECT_EQ(Recorder.Failure(), "");
    EXPECT_EQ(Recorder.Bytes(), 205u);
  }
  TRawHeader Header;
  std::vector<std::pair<TClock::time_point, TBytes>> Read;
  ReadRawRecording(Path, Header, [&](TClock::time_point At, const TBytes &Bytes) {
    Read.emplace_back(At, Bytes);
  });
  EXPECT_EQ(Read, Written);
  EXPECT_EQ(Header.BaudRate, 2400);
  EXPECT_EQ(Header.Device, "/dev/ttyUSB0");
}

TEST(RawRecording, ABadLineIsNamedByFileAndNumber) {
  test::TTempDir Dir;
  const std::string Path = Dir / "bad.raw";
  std::FILE *F = std::fopen(Path.c_str(), "w");
  std::fputs("# de30 raw line recording\n1796780000.1 00 09\nnot a read\n", F);
  std::fclose(F);
  TRawHeader Header;
  try {
    ReadRawRecording(Path, Header, [](TClock::time_point, const TBytes &) {});
    FAIL() << "no error";
  } catch (const ECaptureError &Error) {
    EXPECT_NE(std::string(Error.what()).find("bad.raw:3: no moment"), std::string::npos)
        << Error.what();
  }
}

channels::TTraceRecord Poll(int AtMs, TBytes Reply, std::int32_t Result, std::uint8_t State) {
  channels::TTraceRecord R;
  R.Line = 2;
  R.Frame = {0x00, 0x09};
  R.Reply = std::move(Reply);
  R.ReplyLength = 3;
  R.Result = Result;
  R.State = State;
  R.SentAt = Start + std::chrono::milliseconds(AtMs);
  R.DoneAt = R.SentAt + std::chrono::milliseconds(21);
  return R;
}

// A capture as de30ctl tap writes it: line 2 listened, a poll, garbage, a reply
// without its frame, a poll unanswered, and the line's error counts twice.
void WriteListened(const std::string &Path) {
  TCaptureOptions Options{Path, 0, 1, "de30ctl tap"};
  Options.Listened = true;
  TCaptureWriter W(Options);
  W.DescribeLine(2, "/dev/ttyUSB1");
  W.WriteLineErrors(2, Start, Start, TLineErrors{});
  W.Write(Poll(0, {0x09, 0x00, 0xFF}, 0, 1));
  W.WriteLoose({2, THeardKind::Garbage, {0xFF, 0xFE}, Start + std::chrono::milliseconds(50)});
  W.WriteLoose(
      {2, THeardKind::StrayReply, {0x11, 0x00, 0xFF}, Start + std::chrono::seconds(1)});
  W.Write(Poll(2000, {}, channels::ErrTimeout, 2));
  W.WriteLineErrors(2, Start, Start + std::chrono::seconds(3), TLineErrors{2, 0, 1, 0});
}

TEST(ListenedCapture, CarriesItsFlagTheBytesInNoExchangeAndTheLineErrors) {
  test::TTempDir Dir;
  const std::string Path = Dir / "tap.pcapng";
  WriteListened(Path);
  const TCaptureContents C = ReadCapture(Path);
  EXPECT_EQ(C.Skipped, 0u);
  EXPECT_EQ(C.Listened, (std::set<std::int32_t>{2}));
  ASSERT_EQ(C.Exchanges.size(), 2u);
  for (const TCapturedExchange &E : C.Exchanges)
    EXPECT_TRUE(E.Listened);
  EXPECT_EQ(C.Exchanges[0].Reply, (TBytes{0x09, 0x00, 0xFF}));
  EXPECT_EQ(C.Exchanges[1].Outcome, TOutcome::Timeout);
  EXPECT_FALSE(C.Exchanges[1].ReplyMissing);
  ASSERT_EQ(C.Loose.size(), 2u);
  EXPECT_EQ(C.Loose[0].Kind, THeardKind::Garbage);
  EXPECT_EQ(C.Loose[0].Bytes, (TBytes{0xFF, 0xFE}));
  EXPECT_EQ(C.Loose[0].At, Start + std::chrono::milliseconds(50));
  EXPECT_EQ(C.Loose[1].Kind, THeardKind::StrayReply);
  EXPECT_EQ(C.Loose[1].Line, 2);
  // The last counts written stand.
  ASSERT_TRUE(C.LineErrors.contains(2));
  EXPECT_EQ(C.LineErrors.at(2), (TLineErrors{2, 0, 1, 0}));

  // tshark sees the interface's comment and every packet heard, not sent.
  const test::TRun Shark =
      test::RunProgram("tshark -r " + Path + " -T fields -e frame.packet_flags_reception_type");
  ASSERT_EQ(Shark.Code, 0) << Shark.Output;
  const std::string Lines = "\n" + Shark.Output;
  int Heard = 0;
  for (std::size_t At = Lines.find("\n4\n"); At != std::string::npos;
       At = Lines.find("\n4\n", At + 2))
    ++Heard;
  EXPECT_EQ(Heard, 6) << Shark.Output; // two exchanges, two pieces in none
}

TEST(ListenedCapture, ADeviceThatCountsNoErrorsSaysSo) {
  test::TTempDir Dir;
  const std::string Path = Dir / "pty.pcapng";
  {
    TCaptureOptions Options{Path, 0, 1, "de30ctl tap"};
    Options.Listened = true;
    TCaptureWriter W(Options);
    W.WriteLineErrors(1, Start, Start, std::nullopt);
  }
  const TCaptureContents C = ReadCapture(Path);
  ASSERT_TRUE(C.LineErrors.contains(1));
  EXPECT_FALSE(C.LineErrors.at(1).has_value());
  std::optional<TLineErrors> E;
  EXPECT_FALSE(ParseLineErrors("framing 1, parity 2", E));
  EXPECT_FALSE(ParseLineErrors("framing 1, parity 2, overrun 3, break 4 and more", E));
}

TEST(ListenedCapture, ACaptureWrittenBeforeTheTapReadsAsDriven) {
  const TCaptureContents C = ReadCapture(std::string(DE30_SOURCE) +
                                         "/fuzz/corpus/capture_reader/poll-two-nozzles.pcapng");
  EXPECT_FALSE(C.Exchanges.empty());
  EXPECT_TRUE(C.Listened.empty());
  EXPECT_TRUE(C.Loose.empty());
  EXPECT_TRUE(C.LineErrors.empty());
  for (const TCapturedExchange &E : C.Exchanges)
    EXPECT_FALSE(E.Listened);
}

TEST(ListenedCapture, StatsSaysTheLineWasListenedAndShowsItsErrors) {
  test::TTempDir Dir;
  const std::string Path = Dir / "tap.pcapng";
  WriteListened(Path);
  const test::TRun Text = test::RunProgram(std::string(DE30CTL) + " stats " + Path);
  EXPECT_EQ(Text.Code, 0) << Text.Output;
  for (const char *Says : {"line 2: listened by a tap, not driven",
                           "line 2: heard in no exchange: 2 bytes of garbage in 1 piece, 1 "
                           "reply without its frame "
                           "(3 bytes)",
                           "line 2 errors: framing 2, parity 0, overrun 1, break 0"})
    EXPECT_NE(Text.Output.find(Says), std::string::npos) << Says << "\n" << Text.Output;

  const test::TRun Json = test::RunProgram(std::string(DE30CTL) + " stats --json " + Path);
  ASSERT_EQ(Json.Code, 0) << Json.Output;
  const auto Line = nlohmann::json::parse(Json.Output)["lines"][0];
  EXPECT_EQ(Line["listened"], true);
  EXPECT_EQ(Line["unpaired"]["garbage_bytes"], 2);
  EXPECT_EQ(Line["unpaired"]["stray_replies"], 1);
  EXPECT_EQ(Line["line_errors"]["available"], true);
  EXPECT_EQ(Line["line_errors"]["framing"], 2);
  EXPECT_EQ(Line["line_errors"]["overrun"], 1);

  // A driven capture: none of it.
  const std::string Old =
      std::string(DE30_SOURCE) + "/fuzz/corpus/capture_reader/poll-two-nozzles.pcapng";
  const test::TRun Driven = test::RunProgram(std::string(DE30CTL) + " stats " + Old);
  EXPECT_EQ(Driven.Code, 0) << Driven.Output;
  EXPECT_EQ(Driven.Output.find("listened"), std::string::npos) << Driven.Output;
  EXPECT_EQ(Driven.Output.find("errors:"), std::string::npos) << Driven.Output;
  const auto DrivenLine = nlohmann::json::parse(
      test::RunProgram(std::string(DE30CTL) + " stats --json " + Old).Output)["lines"][0];
  EXPECT_EQ(DrivenLine["listened"], false);
  EXPECT_TRUE(DrivenLine["line_errors"].is_null());
}

} // namespace
