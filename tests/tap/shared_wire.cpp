// A two-wire half-duplex line for the tap's tests: a controller on one
// pseudo-terminal, a station on another (a path given, e.g. `de30ctl simulate
// --pty`), and a third pseudo-terminal where a tap listens. Every byte either end
// sends crosses one shared wire at the baud rate, ten bits a byte, one byte at a
// time in the order the ends sent them, and reaches the other end and the tap as
// it finishes crossing: the tap hears both directions interleaved, with the gaps
// of a real pair. Anything the tap writes is counted, and it must stay 0.
//
//   de30_shared_wire --station PATH [--baud 2400]
//   prints "controller on PATH" and "tap on PATH", serves until SIGTERM or
//   SIGINT, then "wire: N bytes from the controller, M from the station, K heard
//   by the tap, W written by the tap".

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using TClock = std::chrono::steady_clock;

std::atomic<bool> Stop{false};
extern "C" void OnSignal(int) { Stop = true; }

[[noreturn]] void Die(const std::string &What) {
  std::fprintf(stderr, "de30_shared_wire: %s: %s\n", What.c_str(), std::strerror(errno));
  std::exit(2);
}

void MakeRaw(int Fd) {
  termios Settings{};
  if (::tcgetattr(Fd, &Settings) != 0)
    Die("tcgetattr");
  ::cfmakeraw(&Settings);
  if (::tcsetattr(Fd, TCSANOW, &Settings) != 0)
    Die("tcsetattr");
}

// A pseudo-terminal whose device side this program holds open, so that it stays
// raw while the programs under test open and close it.
struct TPty {
  int Main = -1;
  int Held = -1;
  std::string Path;
};

TPty OpenPty() {
  TPty P;
  P.Main = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (P.Main < 0 || ::grantpt(P.Main) != 0 || ::unlockpt(P.Main) != 0)
    Die("pseudo-terminal");
  P.Path = ::ptsname(P.Main);
  P.Held = ::open(P.Path.c_str(), O_RDWR | O_NOCTTY);
  if (P.Held < 0)
    Die(P.Path);
  MakeRaw(P.Held);
  MakeRaw(P.Main);
  ::fcntl(P.Main, F_SETFL, ::fcntl(P.Main, F_GETFL) | O_NONBLOCK);
  return P;
}

struct TOnWire {
  std::uint8_t Byte;
  int To; // where it goes once across
  TClock::time_point Ready;
};

// An end that is gone or not reading loses the bytes, as on a line.
void Deliver(int Fd, const std::string &Bytes) {
  std::size_t Done = 0;
  while (Done < Bytes.size()) {
    const ssize_t N = ::write(Fd, Bytes.data() + Done, Bytes.size() - Done);
    if (N < 0 && errno == EINTR)
      continue;
    if (N <= 0)
      return;
    Done += static_cast<std::size_t>(N);
  }
}

} // namespace

int main(int Argc, char **Argv) {
  std::string StationPath;
  int Baud = 2400;
  for (int I = 1; I + 1 < Argc; I += 2) {
    const std::string Name = Argv[I];
    if (Name == "--station")
      StationPath = Argv[I + 1];
    else if (Name == "--baud")
      Baud = std::atoi(Argv[I + 1]);
  }
  if (StationPath.empty() || Baud <= 0) {
    std::fprintf(stderr, "usage: de30_shared_wire --station PATH [--baud 2400]\n");
    return 2;
  }
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  const int Station = ::open(StationPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (Station < 0)
    Die(StationPath);
  MakeRaw(Station);
  const TPty Controller = OpenPty();
  const TPty Tap = OpenPty();
  std::printf("controller on %s\ntap on %s\n", Controller.Path.c_str(), Tap.Path.c_str());
  std::fflush(stdout);

  const auto ByteTime = std::chrono::nanoseconds(10'000'000'000LL / Baud);
  std::deque<TOnWire> Wire;
  TClock::time_point Free{}; // when the wire has carried its last byte
  bool StationOpen = true;
  unsigned long long FromController = 0, FromStation = 0, Heard = 0, Written = 0;
  while (!Stop) {
    // The byte crossing now, if any, finishes at Due.
    TClock::time_point Due = TClock::time_point::max();
    if (!Wire.empty())
      Due = std::max(Free, Wire.front().Ready) + ByteTime;
    const auto Now = TClock::now();
    if (Due <= Now) {
      // Every byte that has crossed by now goes out, in one write to each end: a
      // program that woke up late delivers what the wire carried meanwhile as a
      // late reader would find it, not as pauses the wire never had.
      std::string ToTap, ToStation, ToController;
      while (!Wire.empty() && Due <= Now) {
        const TOnWire B = Wire.front();
        Wire.pop_front();
        Free = Due;
        (B.To == Station ? ToStation : ToController).push_back(static_cast<char>(B.Byte));
        ToTap.push_back(static_cast<char>(B.Byte));
        if (!Wire.empty())
          Due = std::max(Free, Wire.front().Ready) + ByteTime;
      }
      Deliver(Station, ToStation);
      Deliver(Controller.Main, ToController);
      Deliver(Tap.Main, ToTap);
      Heard += ToTap.size();
      continue;
    }
    const auto Wait = Due == TClock::time_point::max()
                          ? std::chrono::milliseconds(50)
                          : std::chrono::ceil<std::chrono::milliseconds>(Due - Now);
    pollfd Ends[3] = {{Controller.Main, POLLIN, 0},
                      {StationOpen ? Station : -1, POLLIN, 0},
                      {Tap.Main, POLLIN, 0}};
    if (::poll(Ends, 3, static_cast<int>(std::min<long long>(Wait.count(), 50))) <= 0)
      continue;
    std::uint8_t Buffer[256];
    const auto Arrived = TClock::now();
    for (int I = 0; I < 3; ++I) {
      if (I == 1 && (Ends[I].revents & (POLLHUP | POLLERR)) != 0)
        StationOpen = false; // the station has gone: only the controller talks now
      if ((Ends[I].revents & POLLIN) == 0)
        continue;
      const ssize_t N = ::read(Ends[I].fd, Buffer, sizeof Buffer);
      if (N <= 0)
        continue;
      if (I == 2) {
        Written += static_cast<unsigned long long>(N);
        continue;
      }
      for (ssize_t K = 0; K < N; ++K)
        Wire.push_back({Buffer[K], I == 0 ? Station : Controller.Main, Arrived});
      (I == 0 ? FromController : FromStation) += static_cast<unsigned long long>(N);
    }
  }
  std::printf("wire: %llu bytes from the controller, %llu from the station, %llu heard by the "
              "tap, %llu written by the tap\n",
              FromController, FromStation, Heard, Written);
  return 0;
}
