#pragma once
// The station's capture files: a writer for each file the lines name, shared by
// the lines that name the same one, and a thread that forces them to the disk
// once a second, so that no line waits on a slow disk. A file that cannot be
// created leaves its lines uncaptured, with the reason; it never stops them.

#include "capture/writer.hpp"
#include "station/config.hpp"

#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace de30::station {

// What a capture says the line runs on: "/dev/ttyUSB0", "tcp 10.0.0.7:4001", or
// "simulated" for a line given neither.
std::string CaptureDevice(const TLineConfig &Line);

class TLineCaptures {
public:
  // Application names the program in the files ("de30d 1.0.0"). A capture that
  // would overwrite the journal is refused as one that cannot be created.
  TLineCaptures(const std::vector<TLineConfig> &Lines, const std::filesystem::path &Journal,
                const std::string &Application);
  ~TLineCaptures();
  TLineCaptures(const TLineCaptures &) = delete;
  TLineCaptures &operator=(const TLineCaptures &) = delete;

  struct TLineCapture {
    std::shared_ptr<capture::TCaptureWriter> Writer; // null: none, or it failed
    std::string Failure;                             // why it could not be created
  };
  TLineCapture For(int Line) const;

private:
  std::map<int, TLineCapture> Lines;
  std::vector<std::shared_ptr<capture::TCaptureWriter>> Writers;
  std::mutex Guard;
  std::condition_variable Wake;
  bool Quit = false;
  std::thread Syncer;
};

} // namespace de30::station
