#pragma once
// How another process holds a file open, read from /proc: what proves that a
// listening program opened its line read-only.

#include <fcntl.h>
#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace de30::test {

// The access mode (O_RDONLY, O_WRONLY or O_RDWR) with which process Pid holds
// Path open, or -1 when it does not.
inline int AccessMode(pid_t Pid, const std::string &Path) {
  const std::filesystem::path Fds = "/proc/" + std::to_string(Pid) + "/fd";
  std::error_code Error;
  for (const auto &Fd : std::filesystem::directory_iterator(Fds, Error)) {
    std::error_code Ignored;
    if (std::filesystem::read_symlink(Fd.path(), Ignored) != Path)
      continue;
    std::ifstream Info("/proc/" + std::to_string(Pid) + "/fdinfo/" +
                       Fd.path().filename().string());
    std::string Key, Flags;
    while (Info >> Key >> Flags)
      if (Key == "flags:")
        return static_cast<int>(std::stol(Flags, nullptr, 8) & O_ACCMODE);
  }
  return -1;
}

} // namespace de30::test
