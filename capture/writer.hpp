#pragma once
// Writes a line capture: every exchange of the lines it is given, byte for byte,
// as pcapng (docs/capture.md). Each exchange goes to the file in one write and the
// file reaches the disk at least once a second, so that a capture cut off by a
// crash or a power loss still opens up to its last whole exchange.
//
// A capture never stops the lines: a write that fails ends the capture, and the
// reason waits in Failure() for the owner to report.

#include "capture/exchange.hpp"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace de30::capture {

struct TCaptureOptions {
  std::string Path;
  // With MaxBytes above 0 the file is rotated before it would grow past it:
  // "line1.pcapng" becomes "line1.1.pcapng", the one before "line1.2.pcapng", and
  // so on; Files counts the files kept, the one being written included.
  std::uint64_t MaxBytes = 0;
  unsigned Files = 1;
  std::string Application = "de30";
  // Write forces the file to the disk once this long has passed since the last
  // time. 0: Write never does; the owner calls Sync() from a thread of its own, so
  // that no line waits on a slow disk.
  std::chrono::milliseconds SyncEvery{1000};
  // A file of that name already there is rotated like a full one instead of
  // replaced (with Files above 1), so that a program started again keeps the
  // capture of its previous run.
  bool KeepPrevious = false;
  // The lines are listened to by a tap, not driven: their interfaces and packets
  // say so (ListenedComment).
  bool Listened = false;
};

// The name the Index'th older file of a rotated capture gets (0: Path itself).
std::string RotatedName(const std::string &Path, unsigned Index);

class TCaptureWriter {
public:
  // Creates the file (replacing one of that name, unless KeepPrevious) and writes
  // its section header. Throws ECaptureError with the reason when it cannot.
  explicit TCaptureWriter(TCaptureOptions Options);
  ~TCaptureWriter();
  TCaptureWriter(const TCaptureWriter &) = delete;
  TCaptureWriter &operator=(const TCaptureWriter &) = delete;

  // What the line runs on ("/dev/ttyUSB0", "tcp 10.0.0.5:4001"), for its
  // interface's description. Lines not described get none.
  void DescribeLine(std::int32_t Line, const std::string &Device);
  // Appends one exchange; any thread may call it.
  void Write(const channels::TTraceRecord &Record);
  // Appends bytes a tap heard that belong to no exchange.
  void WriteLoose(const TLooseBytes &Loose);
  // Appends the line's error counts from From to At (null: the device does not
  // count them). A reader takes the last ones written for the line.
  void WriteLineErrors(std::int32_t Line, TClock::time_point From, TClock::time_point At,
                       const std::optional<TLineErrors> &Errors);
  // Forces what was written to the disk. Writes go on meanwhile.
  void Sync();

  // Empty while the capture runs; otherwise why it stopped.
  std::string Failure() const;
  std::uint64_t Exchanges() const;
  // Bytes in the file being written.
  std::uint64_t Bytes() const;
  const std::string &Path() const { return Options.Path; }

private:
  struct TLine {
    std::string Device;
    std::uint32_t Exchanges = 0;
    std::int64_t Interface = -1; // in the file being written; -1 until described there
  };
  void Open();
  // Appends the blocks Make gives for the line's interface, describing the line
  // first where the file does not yet, and rotating first when they would not fit.
  template <typename TMake> void AppendForLine(std::int32_t Line, TLine &L, TMake &&Make);
  std::string ShiftFiles(); // the reason it could not, or ""
  void Rotate();
  void Append(const std::string &Block);
  void Stop(const std::string &Reason);

  TCaptureOptions Options;
  mutable std::mutex Lock;
  int Fd = -1;
  std::uint64_t Written = 0;
  std::uint64_t SectionBytes = 0;
  std::uint32_t Interfaces = 0;
  std::uint64_t Total = 0;
  std::map<std::int32_t, TLine> Lines;
  TClock::time_point LastSync;
  std::string Failed;
};

} // namespace de30::capture
