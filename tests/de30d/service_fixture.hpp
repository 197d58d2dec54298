#pragma once
// de30d's server in-process, over a station on the in-process simulated pumps and a
// real journal file in a folder of its own, reached through real sockets.

#include "api_server.hpp"
#include "embedded.hpp"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

namespace de30::test {

using TJson = nlohmann::json;

// A folder under the system's temporary folder, removed with everything in it.
class TTempDir {
public:
  TTempDir();
  ~TTempDir();
  const std::filesystem::path &Path() const { return Where; }

private:
  std::filesystem::path Where;
};

struct TReply {
  int Status = 0; // 0: no reply at all
  TJson Body;
  std::string Authenticate; // the WWW-Authenticate header
};

class TServiceTest : public ::testing::Test {
protected:
  // The token the service is configured with ("" for none).
  virtual std::string Token() const { return "s3cret"; }
  // A last change to the station's configuration before it starts.
  virtual void Adjust(station::TStationConfig &) {}
  void SetUp() override;
  void StartService();
  void TearDown() override;

  TReply Get(const std::string &Path);
  // Sends the service's token unless given another ("-" for no Authorization header).
  TReply Post(const std::string &Path, const std::string &Body, const std::string &Bearer = "");
  TReply Put(const std::string &Path, const std::string &Body);
  // Polls the pump until it reaches State; its last object either way.
  TJson WaitForPump(const std::string &Id, const std::string &State, int TimeoutMs = 10000);
  // The newest sale of a pump in State, waiting for it to appear.
  TJson WaitForSale(const std::string &Pump, const std::string &State, int TimeoutMs = 10000);

  // Stops the server and the station and starts them again on the same journal
  // and simulated pumps, as a restart of de30d would.
  void RestartService();

  sim::TSimStation &Sim() { return Embedded->Sim(); }
  std::string Base() const;

  TTempDir Dir;
  station::TStationConfig Setup;
  std::unique_ptr<service::TEmbeddedStation> Embedded;
  std::unique_ptr<station::TStation> Station;
  std::unique_ptr<service::TApiServer> Server;
  std::unique_ptr<httplib::Client> Client;
};

} // namespace de30::test
