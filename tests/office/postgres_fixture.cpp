#include "postgres_fixture.hpp"

#include "support/free_port.hpp"

#include <libpq-fe.h>

#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

namespace de30::test {

std::string PostgresPrograms() {
  for (const char *Dir : {"/usr/lib/postgresql/15/bin", "/usr/lib/postgresql/16/bin"})
    if (::access((std::string(Dir) + "/initdb").c_str(), X_OK) == 0)
      return Dir;
  return {};
}

TPostgres::TPostgres() {
  // Not under the test's own temporary folder: nobody must be able to reach it.
  char Template[] = "/tmp/de30-postgres-XXXXXX";
  if (::mkdtemp(Template) != nullptr)
    Folder = Template;
  ListenPort = FreePort();
}

TPostgres::~TPostgres() {
  Stop();
  if (!Folder.empty()) {
    std::error_code Ignored;
    std::filesystem::remove_all(Folder, Ignored);
  }
}

bool TPostgres::Run(const std::string &Command, std::string &Why) const {
  const auto Log = Folder / "commands.log";
  std::string Line = PostgresPrograms() + "/" + Command;
  if (::geteuid() == 0)
    Line = "runuser -u nobody -- " + Line;
  if (std::system((Line + " >>'" + Log.string() + "' 2>&1").c_str()) == 0)
    return true;
  std::ifstream In(Log);
  std::ostringstream Text;
  Text << In.rdbuf();
  Why = Line + " failed:\n" + Text.str();
  return false;
}

bool TPostgres::Start(std::string &Why) {
  if (Running)
    return true;
  if (PostgresPrograms().empty()) {
    Why = "PostgreSQL is not installed (scripts/install-deps.sh installs it)";
    return false;
  }
  if (Folder.empty()) {
    Why = "no temporary folder for the cluster";
    return false;
  }
  if (::geteuid() == 0) {
    const passwd *Nobody = ::getpwnam("nobody");
    if (Nobody == nullptr || ::chown(Folder.c_str(), Nobody->pw_uid, Nobody->pw_gid) != 0) {
      Why = "cannot give the cluster's folder to the user nobody";
      return false;
    }
  }
  const auto Data = (Folder / "data").string();
  if (!Made) {
    if (!Run("initdb -D '" + Data + "' -U postgres --auth=trust -E UTF8 --no-locale --no-sync",
             Why))
      return false;
    Made = true;
  }
  if (!Run("pg_ctl -D '" + Data + "' -l '" + (Folder / "server.log").string() +
               "' -w -t 60 -o '-c listen_addresses=127.0.0.1 -p " + std::to_string(ListenPort) +
               " -c unix_socket_directories=" + Folder.string() + "' start",
           Why))
    return false;
  Running = true;
  PGconn *Admin = PQconnectdb(ConnInfo("postgres").c_str());
  const bool Up = PQstatus(Admin) == CONNECTION_OK;
  if (Up) {
    PGresult *Found = PQexec(Admin, "SELECT 1 FROM pg_database WHERE datname = 'de30'");
    const bool Exists = PQntuples(Found) == 1;
    PQclear(Found);
    if (!Exists)
      PQclear(PQexec(Admin, "CREATE DATABASE de30"));
  } else {
    Why = std::string("the server started but takes no connection: ") + PQerrorMessage(Admin);
  }
  PQfinish(Admin);
  return Up;
}

void TPostgres::Stop() {
  if (!Running)
    return;
  std::string Ignored;
  Run("pg_ctl -D '" + (Folder / "data").string() + "' -m fast -w stop", Ignored);
  Running = false;
}

std::string TPostgres::ConnInfo(const std::string &Database) const {
  return "host=127.0.0.1 port=" + std::to_string(ListenPort) +
         " user=postgres dbname=" + Database + " connect_timeout=5";
}

} // namespace de30::test
