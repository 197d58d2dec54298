#pragma once
// One service per journal. Two de30d on one journal would each drive the pumps
// and number sales of their own in one file; the second is refused at start.
//
// The lock is an flock on a file beside the journal (journal.db.lock), which
// holds the pid of its owner. The kernel lets go of it with the process however
// that ends, SIGKILL included, so a lock is never left behind: the file may stay,
// but the next start takes it.

#include <filesystem>
#include <stdexcept>
#include <string>

namespace de30::service {

// Another process holds the journal; the message names it.
class EJournalInUse : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class TJournalLock {
public:
  // Takes the lock of Journal, or throws EJournalInUse (held by another process)
  // or std::runtime_error (the lock file cannot be created).
  explicit TJournalLock(const std::filesystem::path &Journal);
  ~TJournalLock(); // lets go
  TJournalLock(const TJournalLock &) = delete;
  TJournalLock &operator=(const TJournalLock &) = delete;

  static std::filesystem::path FileOf(const std::filesystem::path &Journal);
  const std::filesystem::path &File() const { return Path; }

private:
  std::filesystem::path Path;
  int Descriptor = -1;
};

// "process 1234 (de30d --journal /var/lib/de30d/journal.db)": the command line
// when /proc shows it.
std::string DescribeProcess(long Pid);

} // namespace de30::service
