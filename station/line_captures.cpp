#include "station/line_captures.hpp"

#include <filesystem>

namespace de30::station {

namespace {

constexpr auto SyncEvery = std::chrono::seconds(1);

std::string Normal(const std::filesystem::path &Path) {
  return Path.lexically_normal().string();
}

TLineCaptures::TLineCapture Create(const TLineConfig &Line,
                                   const std::filesystem::path &Journal,
                                   const std::string &Application) {
  TLineCaptures::TLineCapture Made;
  for (unsigned I = 0; I < Line.CaptureFiles; ++I)
    if (Normal(capture::RotatedName(Line.Capture, I)) == Normal(Journal)) {
      Made.Failure = "the capture " + Line.Capture + " would overwrite the journal";
      return Made;
    }
  try {
    // The thread of TLineCaptures syncs; the lines only write. A restart keeps
    // the capture of the run before, which may be the one that shows why.
    Made.Writer = std::make_shared<capture::TCaptureWriter>(
        capture::TCaptureOptions{Line.Capture, Line.CaptureMaxBytes, Line.CaptureFiles,
                                 Application, std::chrono::milliseconds(0), true});
  } catch (const capture::ECaptureError &Error) {
    Made.Failure = Error.what();
  }
  return Made;
}

} // namespace

std::string CaptureDevice(const TLineConfig &Line) {
  if (!Line.Serial.empty())
    return Line.Serial;
  if (!Line.TcpHost.empty()) {
    const bool V6 = Line.TcpHost.find(':') != std::string::npos;
    return "tcp " + (V6 ? "[" + Line.TcpHost + "]" : Line.TcpHost) + ":" +
           std::to_string(Line.TcpPort);
  }
  return "simulated";
}

TLineCaptures::TLineCaptures(const std::vector<TLineConfig> &Configured,
                             const std::filesystem::path &Journal,
                             const std::string &Application) {
  std::map<std::string, TLineCapture> ByFile;
  for (const TLineConfig &Line : Configured) {
    if (Line.Capture.empty())
      continue;
    auto Known = ByFile.find(Normal(Line.Capture));
    if (Known == ByFile.end()) {
      TLineCapture Made = Create(Line, Journal, Application);
      if (Made.Writer)
        Writers.push_back(Made.Writer);
      Known = ByFile.emplace(Normal(Line.Capture), std::move(Made)).first;
    }
    if (Known->second.Writer)
      Known->second.Writer->DescribeLine(Line.Number, CaptureDevice(Line));
    Lines[Line.Number] = Known->second;
  }
  if (Writers.empty())
    return;
  Syncer = std::thread([this] {
    std::unique_lock<std::mutex> Lock(Guard);
    while (!Wake.wait_for(Lock, SyncEvery, [this] { return Quit; })) {
      Lock.unlock();
      for (const auto &Writer : Writers)
        Writer->Sync();
      Lock.lock();
    }
  });
}

TLineCaptures::~TLineCaptures() {
  {
    const std::lock_guard<std::mutex> Lock(Guard);
    Quit = true;
  }
  Wake.notify_all();
  if (Syncer.joinable())
    Syncer.join();
}

TLineCaptures::TLineCapture TLineCaptures::For(int Line) const {
  const auto Found = Lines.find(Line);
  return Found == Lines.end() ? TLineCapture{} : Found->second;
}

} // namespace de30::station
