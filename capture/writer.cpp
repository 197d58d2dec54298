#include "capture/writer.hpp"

#include "capture/blocks.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace de30::capture {

namespace {

std::string Reason(const std::string &What, const std::string &Path) {
  return What + " " + Path + ": " + std::strerror(errno);
}

} // namespace

std::string RotatedName(const std::string &Path, unsigned Index) {
  if (Index == 0)
    return Path;
  const std::size_t Slash = Path.find_last_of('/');
  const std::size_t Dot = Path.find_last_of('.');
  const bool HasExtension =
      Dot != std::string::npos && Dot > 0 && (Slash == std::string::npos || Dot > Slash + 1);
  const std::string Number = "." + std::to_string(Index);
  if (!HasExtension)
    return Path + Number;
  return Path.substr(0, Dot) + Number + Path.substr(Dot);
}

const char *OutcomeName(TOutcome Outcome) {
  switch (Outcome) {
  case TOutcome::Accepted:
    return "accepted";
  case TOutcome::Rejected:
    return "rejected";
  case TOutcome::Timeout:
    return "timeout";
  case TOutcome::ChannelError:
    return "channel error";
  }
  return "unknown";
}

std::string LineErrorsText(const std::optional<TLineErrors> &E) {
  if (!E)
    return "not available";
  return "framing " + std::to_string(E->Framing) + ", parity " + std::to_string(E->Parity) +
         ", overrun " + std::to_string(E->Overrun) + ", break " + std::to_string(E->Break);
}

bool ParseLineErrors(const std::string &Text, std::optional<TLineErrors> &Errors) {
  if (Text == "not available") {
    Errors.reset();
    return true;
  }
  unsigned long long F = 0, P = 0, O = 0, B = 0;
  int End = 0;
  if (std::sscanf(Text.c_str(), "framing %llu, parity %llu, overrun %llu, break %llu%n", &F, &P,
                  &O, &B, &End) != 4 ||
      static_cast<std::size_t>(End) != Text.size())
    return false;
  Errors = TLineErrors{F, P, O, B};
  return true;
}

TOutcome OutcomeOf(const channels::TTraceRecord &Record) {
  if (Record.Result == channels::ErrTimeout || Record.Result == channels::ErrShortReply)
    return TOutcome::Timeout;
  if (Record.Result != channels::ErrNone)
    return TOutcome::ChannelError;
  return Record.State == 1 ? TOutcome::Accepted : TOutcome::Rejected;
}

TCaptureWriter::TCaptureWriter(TCaptureOptions Given) : Options(std::move(Given)) {
  if (Options.Files == 0)
    Options.Files = 1;
  if (Options.KeepPrevious && Options.Files > 1 && ::access(Options.Path.c_str(), F_OK) == 0)
    if (const std::string Why = ShiftFiles(); !Why.empty())
      throw ECaptureError(Why);
  Open();
}

TCaptureWriter::~TCaptureWriter() {
  if (Fd >= 0) {
    ::fdatasync(Fd);
    ::close(Fd);
  }
}

void TCaptureWriter::Open() {
  Fd = ::open(Options.Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (Fd < 0)
    throw ECaptureError(Reason("cannot create the capture", Options.Path));
  Written = 0;
  Interfaces = 0;
  for (auto &[Line, State] : Lines)
    State.Interface = -1;
  const std::string Section = blocks::Section(Options.Application);
  SectionBytes = Section.size();
  Append(Section);
  if (!Failed.empty())
    throw ECaptureError(Failed);
  LastSync = TClock::now();
}

std::string TCaptureWriter::ShiftFiles() {
  // The oldest goes; each of the others moves one place down.
  if (Options.Files > 1)
    std::remove(RotatedName(Options.Path, Options.Files - 1).c_str());
  for (unsigned I = Options.Files - 1; I > 0; --I) {
    const std::string From = RotatedName(Options.Path, I - 1);
    if (std::rename(From.c_str(), RotatedName(Options.Path, I).c_str()) != 0 && errno != ENOENT)
      return Reason("cannot rotate the capture", From);
  }
  return "";
}

void TCaptureWriter::Rotate() {
  ::fdatasync(Fd);
  ::close(Fd);
  Fd = -1;
  if (const std::string Why = ShiftFiles(); !Why.empty()) {
    Stop(Why);
    return;
  }
  try {
    Open();
  } catch (const ECaptureError &Error) {
    Stop(Error.what());
  }
}

void TCaptureWriter::Append(const std::string &Block) {
  std::size_t Done = 0;
  while (Done < Block.size()) {
    const ssize_t N = ::write(Fd, Block.data() + Done, Block.size() - Done);
    if (N < 0 && errno == EINTR)
      continue;
    if (N <= 0) {
      Stop(Reason("cannot write the capture", Options.Path));
      return;
    }
    Done += static_cast<std::size_t>(N);
  }
  Written += Block.size();
}

void TCaptureWriter::Stop(const std::string &Why) {
  if (Failed.empty())
    Failed = Why;
  if (Fd >= 0) {
    ::close(Fd);
    Fd = -1;
  }
}

void TCaptureWriter::DescribeLine(std::int32_t Line, const std::string &Device) {
  const std::lock_guard<std::mutex> Guard(Lock);
  Lines[Line].Device = Device;
}

template <typename TMake>
void TCaptureWriter::AppendForLine(std::int32_t Line, TLine &L, TMake &&Make) {
  std::string Blocks;
  if (L.Interface < 0)
    Blocks = blocks::Interface(Line, L.Device, Options.Listened);
  Blocks += Make(static_cast<std::uint32_t>(L.Interface < 0 ? Interfaces : L.Interface));
  if (Options.MaxBytes > 0 && Written + Blocks.size() > Options.MaxBytes &&
      Written > SectionBytes) {
    Rotate();
    if (!Failed.empty())
      return;
    // The new file describes the line afresh, as its first interface.
    Blocks = blocks::Interface(Line, L.Device, Options.Listened) + Make(0u);
    L.Interface = -1;
  }
  if (L.Interface < 0)
    L.Interface = Interfaces++;
  Append(Blocks);
}

void TCaptureWriter::Write(const channels::TTraceRecord &Record) {
  const std::lock_guard<std::mutex> Guard(Lock);
  if (!Failed.empty())
    return;
  TLine &L = Lines[Record.Line];
  TCapturedExchange Exchange;
  Exchange.Line = Record.Line;
  Exchange.Number = ++L.Exchanges;
  Exchange.Outcome = OutcomeOf(Record);
  // The channel's numbers are small; one that is not fits as 255.
  Exchange.Result = static_cast<std::uint8_t>(
      Record.Result >= 0 && Record.Result <= 255 ? Record.Result : 255);
  Exchange.ReplyLength = Record.ReplyLength;
  const blocks::THeader Header = blocks::HeaderOf(Exchange);
  const std::uint32_t Heard = Options.Listened ? blocks::FlagPromiscuous : 0;
  AppendForLine(Record.Line, L, [&](std::uint32_t Interface) {
    return blocks::Packet(Interface, Record.SentAt, blocks::FlagOutbound | Heard, Header,
                          Record.Frame) +
           blocks::Packet(Interface, Record.DoneAt, blocks::FlagInbound | Heard, Header,
                          Record.Reply);
  });
  if (!Failed.empty())
    return;
  ++Total;
  const auto Now = TClock::now();
  if (Options.SyncEvery.count() > 0 && Now - LastSync >= Options.SyncEvery) {
    ::fdatasync(Fd);
    LastSync = Now;
  }
}

void TCaptureWriter::WriteLoose(const TLooseBytes &Loose) {
  const std::lock_guard<std::mutex> Guard(Lock);
  if (!Failed.empty())
    return;
  blocks::THeader Header;
  Header.Outcome = LooseOutcome;
  Header.Result = static_cast<std::uint8_t>(Loose.Kind);
  const std::uint32_t Flags =
      blocks::FlagInbound | (Options.Listened ? blocks::FlagPromiscuous : 0);
  AppendForLine(Loose.Line, Lines[Loose.Line], [&](std::uint32_t Interface) {
    return blocks::Packet(Interface, Loose.At, Flags, Header, Loose.Bytes);
  });
}

void TCaptureWriter::WriteLineErrors(std::int32_t Line, TClock::time_point From,
                                     TClock::time_point At,
                                     const std::optional<TLineErrors> &Errors) {
  const std::lock_guard<std::mutex> Guard(Lock);
  if (!Failed.empty())
    return;
  const std::string Comment = LineErrorsPrefix + LineErrorsText(Errors);
  AppendForLine(Line, Lines[Line], [&](std::uint32_t Interface) {
    return blocks::Statistics(Interface, From, At, Comment);
  });
}

void TCaptureWriter::Sync() {
  // A copy of the descriptor reaches the same file and stays valid should a
  // rotation close the writer's own meanwhile, so the wait for the disk holds up
  // no Write.
  int Copy = -1;
  {
    const std::lock_guard<std::mutex> Guard(Lock);
    if (Fd >= 0)
      Copy = ::fcntl(Fd, F_DUPFD_CLOEXEC, 0);
  }
  if (Copy >= 0) {
    ::fdatasync(Copy);
    ::close(Copy);
  }
}

std::string TCaptureWriter::Failure() const {
  const std::lock_guard<std::mutex> Guard(Lock);
  return Failed;
}

std::uint64_t TCaptureWriter::Exchanges() const {
  const std::lock_guard<std::mutex> Guard(Lock);
  return Total;
}

std::uint64_t TCaptureWriter::Bytes() const {
  const std::lock_guard<std::mutex> Guard(Lock);
  return Written;
}

} // namespace de30::capture
