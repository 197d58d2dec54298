#include "broker_fixture.hpp"

#include "support/free_port.hpp"

#include <mosquitto.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace de30::test {
namespace {

bool Accepts(int Port) {
  const int Socket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Address.sin_port = htons(static_cast<std::uint16_t>(Port));
  const bool Open =
      ::connect(Socket, reinterpret_cast<sockaddr *>(&Address), sizeof Address) == 0;
  ::close(Socket);
  return Open;
}

// Runs a shell command, its output into Log; whether it succeeded.
bool Run(const std::string &Command, const std::filesystem::path &Log) {
  return std::system((Command + " >>" + Log.string() + " 2>&1").c_str()) == 0;
}

std::string Quoted(const std::filesystem::path &Path) { return "'" + Path.string() + "'"; }

} // namespace

std::string BrokerProgram() { return MOSQUITTO_BROKER; }

bool MakeCertificates(const std::filesystem::path &Dir, TCertificates &Made, std::string &Why) {
  std::filesystem::create_directories(Dir);
  const auto Log = Dir / "openssl.log";
  const auto Key = [&](const char *Name) { return Dir / (std::string(Name) + ".key"); };
  const auto Cert = [&](const char *Name) { return Dir / (std::string(Name) + ".crt"); };
  const std::string NewKey =
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
  std::ofstream(Dir / "server.ext") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
  std::ofstream(Dir / "client.ext") << "extendedKeyUsage=clientAuth\n";
  bool Ok = true;
  for (const char *Ca : {"ca", "other-ca"})
    Ok = Ok && Run(NewKey + "-x509 -days 2 -subj '/CN=de30 test " + Ca + "' -keyout " +
                       Quoted(Key(Ca)) + " -out " + Quoted(Cert(Ca)),
                   Log);
  for (const char *Leaf : {"server", "client"}) {
    const auto Request = Dir / (std::string(Leaf) + ".csr");
    Ok =
        Ok &&
        Run(NewKey + "-subj '/CN=" + (std::string(Leaf) == "server" ? "localhost" : "station") +
                "' -keyout " + Quoted(Key(Leaf)) + " -out " + Quoted(Request),
            Log) &&
        Run("openssl x509 -req -days 2 -in " + Quoted(Request) + " -CA " + Quoted(Cert("ca")) +
                " -CAkey " + Quoted(Key("ca")) + " -CAcreateserial -extfile " +
                Quoted(Dir / (std::string(Leaf) + ".ext")) + " -out " + Quoted(Cert(Leaf)),
            Log);
  }
  if (!Ok) {
    std::ifstream In(Log);
    std::ostringstream Text;
    Text << In.rdbuf();
    Why = Text.str();
    return false;
  }
  Made = {Cert("ca"),     Cert("server"), Key("server"),
          Cert("client"), Key("client"),  Cert("other-ca")};
  return true;
}

bool MakeBrokerPasswords(const std::filesystem::path &File, const std::string &User,
                         const std::string &Password) {
  return Run("mosquitto_passwd -b -c " + Quoted(File) + " '" + User + "' '" + Password + "'",
             File.string() + ".log");
}

TBroker::TBroker(const std::filesystem::path &Dir, const TSecureListener *Secure)
    : Folder(Dir / "broker") {
  std::filesystem::create_directories(Folder);
  ListenPort = FreePort();
  // Started as root, the broker would switch to its own user, which may not
  // write into the test's folder: it stays whoever runs the test.
  const passwd *Self = ::getpwuid(::geteuid());
  std::ofstream Config(Folder / "mosquitto.conf");
  Config << "user " << (Self ? Self->pw_name : "root") << "\n"
         << "persistence true\n"
         << "persistence_location " << Folder.string() << "/\n"
         << "log_dest file " << (Folder / "mosquitto.log").string() << "\n"
         << "log_type all\n"
         // Each listener its own rules: anyone on the plain one, only a
         // certificate and a password on the TLS one.
         << "per_listener_settings true\n"
         << "listener " << ListenPort << " 127.0.0.1\n"
         << "allow_anonymous true\n";
  if (Secure) {
    TlsPort = FreePort();
    const auto &Files = Secure->Certificates;
    Config << "listener " << TlsPort << " 127.0.0.1\n"
           << "cafile " << Files.Ca.string() << "\n"
           << "certfile " << Files.ServerCert.string() << "\n"
           << "keyfile " << Files.ServerKey.string() << "\n"
           << "require_certificate true\n"
           << "allow_anonymous false\n"
           << "password_file " << Secure->Passwords.string() << "\n";
  }
}

TBroker::~TBroker() { Stop(); }

bool TBroker::Start() {
  if (Child > 0)
    return true;
  const std::string Program = BrokerProgram();
  const std::string Config = (Folder / "mosquitto.conf").string();
  Child = ::fork();
  if (Child == 0) {
    ::execl(Program.c_str(), Program.c_str(), "-c", Config.c_str(),
            static_cast<char *>(nullptr));
    ::_exit(127);
  }
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < Deadline) {
    if (Accepts(ListenPort))
      return true;
    int Status = 0;
    if (::waitpid(Child, &Status, WNOHANG) == Child) {
      Child = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void TBroker::Stop() {
  if (Child <= 0)
    return;
  ::kill(Child, SIGTERM);
  int Status = 0;
  ::waitpid(Child, &Status, 0);
  Child = -1;
}

std::string TBroker::Log() const {
  std::ifstream In(Folder / "mosquitto.log");
  std::ostringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

TOffice::TOffice(int Port, std::string Topic) : BrokerPort(Port), Base(std::move(Topic)) {
  mosquitto_lib_init();
  Client = mosquitto_new("head-office", false, this);
  mosquitto_connect_callback_set(Client, &TOffice::OnConnect);
  mosquitto_subscribe_callback_set(Client, &TOffice::OnSubscribe);
  mosquitto_message_callback_set(Client, &TOffice::OnMessage);
  mosquitto_reconnect_delay_set(Client, 1, 1, false);
}

TOffice::~TOffice() {
  Disconnect();
  mosquitto_destroy(Client);
}

bool TOffice::Connect() {
  {
    std::lock_guard Lock(Guard);
    Subscribed = 0;
  }
  if (mosquitto_connect_async(Client, "127.0.0.1", BrokerPort, 10) != MOSQ_ERR_SUCCESS ||
      mosquitto_loop_start(Client) != MOSQ_ERR_SUCCESS)
    return false;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < Deadline) {
    {
      std::lock_guard Lock(Guard);
      if (Subscribed >= 4)
        return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void TOffice::Disconnect() {
  mosquitto_disconnect(Client);
  mosquitto_loop_stop(Client, false);
}

void TOffice::AcknowledgeSales(bool On) {
  std::lock_guard Lock(Guard);
  Acknowledging = On;
}

void TOffice::PublishAck(const std::string &Payload) {
  const std::string Topic = Base + "/acks";
  mosquitto_publish(Client, nullptr, Topic.c_str(), static_cast<int>(Payload.size()),
                    Payload.data(), 1, false);
}

void TOffice::OnConnect(mosquitto *Client, void *Self, int Code) {
  if (Code != 0)
    return;
  const auto &Office = *static_cast<TOffice *>(Self);
  for (const std::string &Topic : {Office.Base + "/sales", Office.Base + "/shifts",
                                   Office.Base + "/pumps/#", Office.Base + "/status"})
    mosquitto_subscribe(Client, nullptr, Topic.c_str(), 1);
}

void TOffice::OnSubscribe(mosquitto *, void *Self, int, int, const int *) {
  auto &Office = *static_cast<TOffice *>(Self);
  std::lock_guard Lock(Office.Guard);
  ++Office.Subscribed;
}

void TOffice::OnMessage(mosquitto *Client, void *Self, const mosquitto_message *Message) {
  auto &Office = *static_cast<TOffice *>(Self);
  const std::string Topic = Message->topic;
  const std::string Payload(static_cast<const char *>(Message->payload),
                            static_cast<std::size_t>(Message->payloadlen));
  auto Json = nlohmann::json::parse(Payload, nullptr, false);
  std::lock_guard Lock(Office.Guard);
  const bool Shift = Topic == Office.Base + "/shifts";
  if ((Shift || Topic == Office.Base + "/sales") && Json.is_object() &&
      Json["id"].is_number_integer()) {
    const auto Id = Json["id"].get<std::int64_t>();
    if (Office.Acknowledging) {
      const std::string Ack =
          nlohmann::json{{"station", Json["station"]},
                         {Shift ? "shifts" : "sales", nlohmann::json::array({Id})}}
              .dump();
      const std::string Acks = Office.Base + "/acks";
      mosquitto_publish(Client, nullptr, Acks.c_str(), static_cast<int>(Ack.size()), Ack.data(),
                        1, false);
    }
    (Shift ? Office.ShiftMessages : Office.SaleMessages)[Id] = std::move(Json);
    (Shift ? Office.ShiftOrder : Office.Order).push_back(Id);
  } else if (Topic == Office.Base + "/status") {
    Office.StatusMessage = std::move(Json);
  } else {
    Office.PumpMessages[Topic] = std::move(Json);
  }
}

std::map<std::int64_t, nlohmann::json> TOffice::Sales() const {
  std::lock_guard Lock(Guard);
  return SaleMessages;
}

std::vector<std::int64_t> TOffice::Arrivals() const {
  std::lock_guard Lock(Guard);
  return Order;
}

std::map<std::string, nlohmann::json> TOffice::Pumps() const {
  std::lock_guard Lock(Guard);
  return PumpMessages;
}

std::map<std::int64_t, nlohmann::json> TOffice::Shifts() const {
  std::lock_guard Lock(Guard);
  return ShiftMessages;
}

std::vector<std::int64_t> TOffice::ShiftArrivals() const {
  std::lock_guard Lock(Guard);
  return ShiftOrder;
}

nlohmann::json TOffice::Status() const {
  std::lock_guard Lock(Guard);
  return StatusMessage;
}

} // namespace de30::test
