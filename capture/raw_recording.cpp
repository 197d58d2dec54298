#include "capture/raw_recording.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace de30::capture {

namespace {

int HexDigit(char C) {
  if (C >= '0' && C <= '9')
    return C - '0';
  if (C >= 'a' && C <= 'f')
    return C - 'a' + 10;
  if (C >= 'A' && C <= 'F')
    return C - 'A' + 10;
  return -1;
}

// "1796780000.123456": whole seconds, then up to nine decimals.
bool ParseMoment(const std::string &Text, TClock::time_point &At) {
  const std::size_t Dot = Text.find('.');
  const std::string Whole = Text.substr(0, Dot);
  const std::string Fraction = Dot == std::string::npos ? "" : Text.substr(Dot + 1);
  if (Whole.empty() || Whole.size() > 12 || Fraction.size() > 9)
    return false;
  std::int64_t Seconds = 0, Nanos = 0;
  for (char C : Whole) {
    if (C < '0' || C > '9')
      return false;
    Seconds = Seconds * 10 + (C - '0');
  }
  std::int64_t Scale = 100'000'000;
  for (char C : Fraction) {
    if (C < '0' || C > '9')
      return false;
    Nanos += (C - '0') * Scale;
    Scale /= 10;
  }
  At = TClock::time_point(std::chrono::duration_cast<TClock::duration>(
      std::chrono::seconds(Seconds) + std::chrono::nanoseconds(Nanos)));
  return true;
}

} // namespace

bool ParseRawLine(const std::string &Text, TRawHeader &Header, TClock::time_point &At,
                  std::vector<std::uint8_t> &Bytes) {
  std::string Line = Text;
  while (!Line.empty() && (Line.back() == '\r' || Line.back() == ' '))
    Line.pop_back();
  if (Line.empty())
    return false;
  if (Line[0] == '#') {
    if (Line.rfind("# baud ", 0) == 0) {
      try {
        Header.BaudRate = std::stoi(Line.substr(7));
      } catch (const std::exception &) {
        throw ECaptureError("a baud rate that is not a number");
      }
      if (Header.BaudRate <= 0)
        throw ECaptureError("a baud rate that is not above 0");
    } else if (Line.rfind("# device ", 0) == 0) {
      Header.Device = Line.substr(9);
    }
    return false;
  }
  const std::size_t Space = Line.find(' ');
  if (!ParseMoment(Line.substr(0, Space), At))
    throw ECaptureError("no moment (seconds since 1970) at the start of the line");
  Bytes.clear();
  std::size_t I = Space == std::string::npos ? Line.size() : Space;
  while (I < Line.size()) {
    if (Line[I] == ' ') {
      ++I;
      continue;
    }
    const int High = HexDigit(Line[I]);
    const int Low = I + 1 < Line.size() ? HexDigit(Line[I + 1]) : -1;
    if (High < 0 || Low < 0 || (I + 2 < Line.size() && Line[I + 2] != ' '))
      throw ECaptureError("'" + Line.substr(I, Line.find(' ', I) - I) +
                          "' is not a byte in two hex digits");
    Bytes.push_back(static_cast<std::uint8_t>(High * 16 + Low));
    I += 2;
  }
  return true;
}

std::string RawLine(TClock::time_point At, const std::uint8_t *Data, std::size_t Count) {
  const auto Micros =
      std::chrono::duration_cast<std::chrono::microseconds>(At.time_since_epoch()).count();
  char Moment[40];
  std::snprintf(Moment, sizeof Moment, "%lld.%06lld", static_cast<long long>(Micros / 1000000),
                static_cast<long long>(Micros % 1000000));
  std::string Line = Moment;
  char Pair[4];
  for (std::size_t I = 0; I < Count; ++I) {
    std::snprintf(Pair, sizeof Pair, " %02X", Data[I]);
    Line += Pair;
  }
  return Line + "\n";
}

void ReadRawRecording(const std::string &Path, TRawHeader &Header, const TRawRead &Each) {
  std::ifstream In(Path);
  if (!In)
    throw ECaptureError("cannot open " + Path + ": " + std::strerror(errno));
  std::string Text;
  std::vector<std::uint8_t> Bytes;
  TClock::time_point At;
  for (int Number = 1; std::getline(In, Text); ++Number) {
    bool Read = false;
    try {
      Read = ParseRawLine(Text, Header, At, Bytes);
    } catch (const ECaptureError &Error) {
      throw ECaptureError(Path + ":" + std::to_string(Number) + ": " + Error.what());
    }
    if (Read)
      Each(At, Bytes);
  }
}

TRawRecorder::TRawRecorder(const std::string &Path, const TRawHeader &Header) : File(Path) {
  Fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (Fd < 0)
    throw ECaptureError("cannot create the recording " + Path + ": " + std::strerror(errno));
  std::string Head = std::string(RawRecordingTitle) + "\n";
  if (Header.BaudRate > 0)
    Head += "# baud " + std::to_string(Header.BaudRate) + "\n";
  if (!Header.Device.empty())
    Head += "# device " + Header.Device + "\n";
  Append(Head);
  if (!Failed.empty())
    throw ECaptureError(Failed);
}

TRawRecorder::~TRawRecorder() {
  if (Fd >= 0) {
    ::fdatasync(Fd);
    ::close(Fd);
  }
}

void TRawRecorder::Write(TClock::time_point At, const std::uint8_t *Data, std::size_t Count) {
  if (Count == 0 || Fd < 0)
    return;
  Append(RawLine(At, Data, Count));
  if (Failed.empty())
    Recorded += Count;
}

void TRawRecorder::Append(const std::string &Text) {
  std::size_t Done = 0;
  while (Done < Text.size()) {
    const ssize_t N = ::write(Fd, Text.data() + Done, Text.size() - Done);
    if (N < 0 && errno == EINTR)
      continue;
    if (N <= 0) {
      Failed = "cannot write the recording " + File + ": " + std::strerror(errno);
      ::close(Fd);
      Fd = -1;
      return;
    }
    Done += static_cast<std::size_t>(N);
  }
}

} // namespace de30::capture
