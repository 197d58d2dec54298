#pragma once
// The far end of a real line for channel tests: a pump on a pseudo-terminal or a
// loopback TCP connection that answers every three-byte frame {0x00, lead, x}
// with {lead, x, ~x}, each byte sent when a line at the given baud rate would
// have carried it. Chosen frames get a fault: noise before the reply, a reply
// later than asked, bytes trailing it, or a line that never stops talking.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace de30::test {

struct TPeerFault {
  std::vector<std::uint8_t> Before;   // sent ahead of the reply
  std::chrono::milliseconds Delay{0}; // from the frame's arrival to the reply
  std::vector<std::uint8_t> After;    // sent after the reply
  bool Babble = false;                // from this frame on, talk without end
};

class TPacedPeer {
public:
  static constexpr std::size_t FrameLength = 3;
  static constexpr std::uint8_t Noise = 0xEE;

  // Null with Error when the terminal or the port cannot be had.
  static std::unique_ptr<TPacedPeer> OnPty(int BaudRate, std::string &Error);
  static std::unique_ptr<TPacedPeer> OnTcp(int BaudRate, std::string &Error);
  ~TPacedPeer();
  TPacedPeer(const TPacedPeer &) = delete;
  TPacedPeer &operator=(const TPacedPeer &) = delete;

  const std::string &Path() const { return Device; } // the terminal's device
  std::uint16_t Port() const { return TcpPort; }
  // Frames are counted from 1; plan before Start.
  void Plan(int Frame, TPeerFault Fault) { Faults[Frame] = std::move(Fault); }
  void Start();
  int Frames() const { return Received; }

private:
  explicit TPacedPeer(int BaudRate);
  void Run();
  int Connection(); // the fd the line's bytes travel on; -1 when stopping
  bool Send(int Fd, const std::vector<std::uint8_t> &Bytes);
  void Answer(int Fd, const std::vector<std::uint8_t> &Frame,
              std::chrono::steady_clock::time_point Arrived);
  void Talk(int Fd);

  std::chrono::microseconds ByteTime;
  int MainFd = -1;   // terminal's controlling side, or the listening socket
  int HoldFd = -1;   // the terminal's device side, held so that it stays set up
  int ClientFd = -1; // the accepted connection
  std::string Device;
  std::uint16_t TcpPort = 0;
  std::map<int, TPeerFault> Faults;
  std::atomic<int> Received{0};
  std::atomic<bool> Stop{false};
  std::thread Worker;
};

} // namespace de30::test
