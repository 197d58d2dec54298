#pragma once
// A fresh folder for one test's files, removed with everything in it afterwards.

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace de30::test {

class TTempDir {
public:
  TTempDir() {
    std::string Pattern =
        (std::filesystem::temp_directory_path() / "de30-station-XXXXXX").string();
    if (!::mkdtemp(Pattern.data()))
      throw std::runtime_error("cannot create a temporary folder");
    Path = Pattern;
  }
  ~TTempDir() {
    std::error_code Ignored;
    std::filesystem::remove_all(Path, Ignored);
  }
  TTempDir(const TTempDir &) = delete;
  TTempDir &operator=(const TTempDir &) = delete;

  std::filesystem::path operator/(const std::string &Name) const { return Path / Name; }
  std::filesystem::path Path;
};

} // namespace de30::test
