#include "station/line_captures.hpp"

#include <filesystem>

namespace de30::station {

namespace {

constexpr auto SyncEvery = std::chrono::seconds(1);

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
                             const std::string &Application) {
  std::map<std::string, TLineCapture> ByFile;
  for (const TLineConfig &Line : Configured) {
    if (Line.Capture.empty())
      continue;
    const std::string Key = std::filesystem::path(Line.Capture).lexically_normal().string();
    auto Known = ByFile.find(Key);
    if (Known == ByFile.end()) {
      TLineCapture Made;
      try {
        // The thread below syncs; the lines only write. A restart keeps the
        // capture of the run before, which may be the one that shows why.
        Made.Writer = std::make_shared<capture::TCaptureWriter>(
            capture::TCaptureOptions{Line.Capture, Line.CaptureMaxBytes, Line.CaptureFiles,
                                     Application, std::chrono::milliseconds(0), true});
        Writers.push_back(Made.Writer);
      } catch (const capture::ECaptureError &Error) {
        Made.Failure = Error.what();
      }
      Known = ByFile.emplace(Key, std::move(Made)).first;
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
