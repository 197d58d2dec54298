#include "service_fixture.hpp"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace de30::test {

TTempDir::TTempDir() {
  std::string Pattern = (std::filesystem::temp_directory_path() / "de30d-test-XXXXXX").string();
  if (::mkdtemp(Pattern.data()) == nullptr)
    throw std::runtime_error("cannot create a temporary folder");
  Where = Pattern;
}

TTempDir::~TTempDir() {
  std::error_code Ignored;
  std::filesystem::remove_all(Where, Ignored);
}

void TServiceTest::SetUp() {
  service::TEmbeddedOptions Pumps;
  Pumps.Customers = false;
  Pumps.AutoAuthorize = false;
  Pumps.FlowRate = 400; // four litres a second: a fill is over in moments
  Pumps.StartDelayMs = 100;
  Embedded = std::make_unique<service::TEmbeddedStation>(Pumps);
  Setup = Embedded->Config(Dir.Path() / "journal.db");
  Setup.Token = Token();
  Adjust(Setup);
  service::SeedPrices(Setup.Journal);
  StartService();
}

void TServiceTest::StartService() {
  Station = std::make_unique<station::TStation>(Setup, Embedded->StationOptions());
  service::TServerOptions Options;
  Options.Port = 0;
  Options.Token = Setup.Token;
  Options.Clients = Setup.Clients;
  Options.ReadToken = Setup.ReadToken;
  Options.Heartbeat = std::chrono::milliseconds(300);
  Server = std::make_unique<service::TApiServer>(*Station, Options);
  Station->Start();
  Server->Start();
  Client = std::make_unique<httplib::Client>("127.0.0.1", Server->Port());
  Client->set_read_timeout(std::chrono::seconds(10));
}

void TServiceTest::RestartService() {
  Client.reset();
  Server->Stop();
  Station->Stop();
  Server.reset();
  Station.reset();
  StartService();
}

void TServiceTest::TearDown() {
  Client.reset();
  Server->Stop();
  Station->Stop();
}

std::string TServiceTest::Base() const {
  return "http://127.0.0.1:" + std::to_string(Server->Port());
}

namespace {

TReply Read(const httplib::Result &Result) {
  TReply Reply;
  if (!Result)
    return Reply;
  Reply.Status = Result->status;
  Reply.Body = TJson::parse(Result->body, nullptr, false);
  Reply.Authenticate = Result->get_header_value("WWW-Authenticate");
  return Reply;
}

} // namespace

TReply TServiceTest::Get(const std::string &Path) { return Read(Client->Get(Path.c_str())); }

TReply TServiceTest::Post(const std::string &Path, const std::string &Body,
                          const std::string &Bearer) {
  httplib::Headers Headers;
  const std::string Given = Bearer.empty() ? Token() : Bearer;
  if (Given != "-" && !Given.empty())
    Headers.emplace("Authorization", "Bearer " + Given);
  return Read(Client->Post(Path.c_str(), Headers, Body, "application/json"));
}

TReply TServiceTest::Put(const std::string &Path, const std::string &Body) {
  httplib::Headers Headers;
  if (!Token().empty())
    Headers.emplace("Authorization", "Bearer " + Token());
  return Read(Client->Put(Path.c_str(), Headers, Body, "application/json"));
}

TJson TServiceTest::WaitForPump(const std::string &Id, const std::string &State,
                                int TimeoutMs) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  TJson Last;
  do {
    TReply R = Get("/api/v1/pumps/" + Id);
    Last = R.Body;
    if (R.Status == 200 && Last["state"] == State)
      return Last;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < Deadline);
  ADD_FAILURE() << "pump " << Id << " never became " << State << ": " << Last.dump();
  return Last;
}

TJson TServiceTest::WaitForSale(const std::string &Pump, const std::string &State,
                                int TimeoutMs) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  TJson Last;
  do {
    TReply R = Get("/api/v1/sales?state=" + State);
    Last = R.Body;
    if (R.Status == 200)
      for (const auto &Sale : R.Body)
        if (Sale["pump"] == Pump)
          return Sale;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < Deadline);
  ADD_FAILURE() << "no " << State << " sale of pump " << Pump << ": " << Last.dump();
  return nullptr;
}

} // namespace de30::test
