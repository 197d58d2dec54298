#include "capture_files.hpp"

#include "exit_codes.hpp"

#include <algorithm>
#include <map>

namespace de30::ctl {

TCaptureFiles ReadCaptureFiles(const std::vector<std::string> &Files) {
  struct TRead {
    std::string File;
    capture::TCaptureContents Contents;
  };
  std::vector<TRead> Read;
  for (const std::string &File : Files) {
    try {
      Read.push_back({File, capture::ReadCapture(File)});
    } catch (const capture::ECaptureError &Error) {
      throw ECtlError(ExitCannotOpen, Error.what());
    }
  }
  // Files without an exchange sort first; they add nothing but their lines.
  std::stable_sort(Read.begin(), Read.end(), [](const TRead &A, const TRead &B) {
    const auto &X = A.Contents.Exchanges;
    const auto &Y = B.Contents.Exchanges;
    if (X.empty() || Y.empty())
      return X.empty() && !Y.empty();
    return X.front().SentAt < Y.front().SentAt;
  });

  TCaptureFiles Result;
  std::map<std::int32_t, std::uint32_t> LastNumber;
  for (TRead &R : Read) {
    Result.Files.push_back(R.File);
    if (R.Contents.Truncated)
      Result.Warnings.push_back(R.File +
                                ": cut off inside a block; read up to its last whole packet");
    if (!R.Contents.Damage.empty())
      Result.Warnings.push_back(R.File + ": damaged (" + R.Contents.Damage +
                                "); read up to there");
    if (R.Contents.Skipped > 0)
      Result.Warnings.push_back(R.File + ": " + std::to_string(R.Contents.Skipped) +
                                " packets that are not de30's passed over");
    for (const auto &[Line, Device] : R.Contents.Devices)
      if (!Result.Devices.contains(Line) || !Device.empty())
        Result.Devices[Line] = Device;
    for (auto &E : R.Contents.Exchanges) {
      // The numbers run on across the files of a rotated capture; a number back
      // at the start is another capture (another run).
      const auto Last = LastNumber.find(E.Line);
      if (Last != LastNumber.end() && E.Number > Last->second + 1)
        Result.Warnings.push_back("line " + std::to_string(E.Line) + ": exchanges " +
                                  std::to_string(Last->second + 1) + " to " +
                                  std::to_string(E.Number - 1) +
                                  " are in none of the files (a rotated file left out?)");
      LastNumber[E.Line] = E.Number;
      Result.Exchanges.push_back(std::move(E));
    }
  }
  return Result;
}

} // namespace de30::ctl
