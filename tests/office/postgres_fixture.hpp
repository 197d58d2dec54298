#pragma once
// A PostgreSQL server of a test's own: a cluster made with initdb in a folder of
// its own, started with pg_ctl on a free loopback port, trusted connections
// only from this machine. Run as root, the server runs as nobody (PostgreSQL
// refuses root), in a folder nobody may enter.

#include <filesystem>
#include <string>

namespace de30::test {

// Debian's PostgreSQL programs (initdb, pg_ctl); empty when not installed.
std::string PostgresPrograms();

class TPostgres {
public:
  TPostgres();
  ~TPostgres(); // stops the server, removes the cluster
  TPostgres(const TPostgres &) = delete;
  TPostgres &operator=(const TPostgres &) = delete;

  // Makes the cluster the first time, starts the server and makes the database
  // "de30"; false, and why in Why, when it cannot.
  bool Start(std::string &Why);
  // A fast shutdown: connections are cut, nothing committed is lost.
  void Stop();
  std::string ConnInfo(const std::string &Database = "de30") const;
  int Port() const { return ListenPort; }

private:
  bool Run(const std::string &Command, std::string &Why) const;

  std::filesystem::path Folder;
  int ListenPort = 0;
  bool Made = false;
  bool Running = false;
};

} // namespace de30::test
