// The capture reader on arbitrary files: whatever the bytes, it either refuses the
// file as no capture or returns exchanges it could read, never reading past the
// input. What it returns, written again by the writer and read back, must come
// out the same: the reader and the writer agree on every field they share.
#include "capture/reader.hpp"
#include "capture/writer.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace de30::capture {
namespace {

[[noreturn]] void Fail(const char *What) {
  std::fprintf(stderr, "invariant broken: %s\n", What);
  std::abort();
}

std::string ScratchFile() {
  return "/tmp/de30-capture-fuzz-" + std::to_string(::getpid()) + ".pcapng";
}

// A channel result that tells the same outcome again.
std::int32_t ResultFor(const TCapturedExchange &E) {
  if (E.Outcome == TOutcome::Timeout)
    return channels::ErrTimeout;
  if (E.Outcome != TOutcome::ChannelError)
    return channels::ErrNone;
  const bool Distinct = E.Result != channels::ErrNone && E.Result != channels::ErrTimeout &&
                        E.Result != channels::ErrShortReply;
  return Distinct ? std::int32_t{E.Result} : std::int32_t{channels::ErrOpenFailed};
}

void Check(const std::string &Bytes) {
  TCaptureContents First;
  try {
    First = ReadCaptureBytes(Bytes);
  } catch (const ECaptureError &) {
    return;
  }
  std::size_t Payload = 0;
  for (const auto &E : First.Exchanges) {
    if (static_cast<std::uint8_t>(E.Outcome) >= OutcomeCount)
      Fail("an outcome outside the file's numbers");
    Payload += E.Frame.size() + E.Reply.size();
  }
  if (Payload > Bytes.size())
    Fail("more bytes read than the file holds");

  const std::string File = ScratchFile();
  {
    TCaptureWriter W({File});
    for (const auto &E : First.Exchanges) {
      channels::TTraceRecord R;
      R.Line = E.Line;
      R.Frame = E.Frame;
      R.Reply = E.Reply;
      R.ReplyLength = E.ReplyLength;
      R.Result = ResultFor(E);
      R.State = E.Outcome == TOutcome::Accepted ? 1 : 3;
      R.SentAt = E.SentAt;
      R.DoneAt = E.DoneAt;
      W.Write(R);
    }
  }
  const TCaptureContents Second = ReadCapture(File);
  std::remove(File.c_str());
  if (Second.Exchanges.size() != First.Exchanges.size())
    Fail("a different number of exchanges after writing them again");
  for (std::size_t I = 0; I < First.Exchanges.size(); ++I) {
    const auto &A = First.Exchanges[I];
    const auto &B = Second.Exchanges[I];
    if (A.Line != B.Line || A.Frame != B.Frame || A.Reply != B.Reply ||
        A.Outcome != B.Outcome || A.ReplyLength != B.ReplyLength)
      Fail("an exchange changed on writing it again");
  }
}

} // namespace
} // namespace de30::capture

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size) {
  de30::capture::Check(std::string(reinterpret_cast<const char *>(Data), Size));
  return 0;
}
