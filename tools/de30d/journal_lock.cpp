#include "journal_lock.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/file.h>
#include <unistd.h>

namespace de30::service {
namespace {

std::string Failure(const std::filesystem::path &File, const std::string &What) {
  return File.string() + ": " + What + ": " + std::strerror(errno);
}

// The pid the holder wrote; 0 when it is not (yet) there.
long HolderPid(int Descriptor) {
  char Text[32] = {};
  const ssize_t Got = ::pread(Descriptor, Text, sizeof Text - 1, 0);
  if (Got <= 0)
    return 0;
  char *End = nullptr;
  const long Pid = std::strtol(Text, &End, 10);
  return End != Text && Pid > 0 ? Pid : 0;
}

} // namespace

std::filesystem::path TJournalLock::FileOf(const std::filesystem::path &Journal) {
  return Journal.string() + ".lock";
}

TJournalLock::TJournalLock(const std::filesystem::path &Journal) : Path(FileOf(Journal)) {
  if (Path.has_parent_path()) {
    std::error_code Ignored; // the open below says why, should the folder be missing
    std::filesystem::create_directories(Path.parent_path(), Ignored);
  }
  Descriptor = ::open(Path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (Descriptor < 0)
    throw std::runtime_error(Failure(Path, "cannot open the journal's lock"));
  if (::flock(Descriptor, LOCK_EX | LOCK_NB) != 0) {
    const int Error = errno;
    const long Pid = Error == EWOULDBLOCK ? HolderPid(Descriptor) : 0;
    ::close(Descriptor);
    Descriptor = -1;
    if (Error != EWOULDBLOCK) {
      errno = Error;
      throw std::runtime_error(Failure(Path, "cannot lock the journal"));
    }
    throw EJournalInUse(Journal.string() + " is in use by " +
                        (Pid > 0 ? DescribeProcess(Pid) : std::string("another process")) +
                        " (lock " + Path.string() +
                        "): one de30d per journal; stop that one first");
  }
  // Ours now: what a previous holder wrote goes, whatever its length.
  const std::string Pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(Descriptor, 0) != 0 ||
      ::pwrite(Descriptor, Pid.data(), Pid.size(), 0) != static_cast<ssize_t>(Pid.size())) {
    const std::string Why = Failure(Path, "cannot write the journal's lock");
    ::close(Descriptor);
    throw std::runtime_error(Why);
  }
}

TJournalLock::~TJournalLock() {
  // The file stays: removing it could let a process that has just opened it lock
  // a file that no longer has a name, beside a new one another process locks.
  if (Descriptor >= 0)
    ::close(Descriptor);
}

std::string DescribeProcess(long Pid) {
  std::string Text = "process " + std::to_string(Pid);
  std::ifstream CommandLine("/proc/" + std::to_string(Pid) + "/cmdline", std::ios::binary);
  std::string Words((std::istreambuf_iterator<char>(CommandLine)),
                    std::istreambuf_iterator<char>());
  while (!Words.empty() && Words.back() == '\0')
    Words.pop_back();
  if (Words.empty())
    return Text;
  for (char &C : Words)
    if (C == '\0')
      C = ' ';
  return Text + " (" + Words + ")";
}

} // namespace de30::service
