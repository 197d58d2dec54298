#pragma once
// Serves one line of a simulated station (or of anything else that answers a
// line's bytes) to other programs: on a pseudo-terminal (a serial channel opens
// its device path) or on a loopback TCP port (a TCP channel connects to it, as to
// a serial device server).

#include "sim/line_pacer.hpp"
#include "sim/responder.hpp"
#include "sim/station.hpp" // what most servers serve

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace de30::sim {

class TStationServer {
public:
  // Null with Error set when the terminal or the port cannot be had.
  static std::unique_ptr<TStationServer> OnPty(TLineResponder &Responder, int Line,
                                               std::string &Error);
  // Port 0 takes any free port; Port() tells which.
  static std::unique_ptr<TStationServer> OnTcp(TLineResponder &Responder, int Line,
                                               std::uint16_t Port, std::string &Error);
  ~TStationServer();
  TStationServer(const TStationServer &) = delete;
  TStationServer &operator=(const TStationServer &) = delete;

  // Where clients find the line: the terminal's device path, or the TCP port.
  const std::string &Path() const { return DevicePath; }
  std::uint16_t Port() const { return TcpPort; }

  // Holds every byte in both directions to the pace of a line at BaudRate (0, the
  // default: no pacing). Set before serving starts.
  void SetBaudRate(int BaudRate) { Pacer.SetBaudRate(BaudRate); }
  // Bytes taken from and given to clients so far.
  std::uint64_t BytesReceived() const { return Received; }
  std::uint64_t BytesSent() const { return Sent; }

  // Serves on the caller's thread until Stop becomes true.
  void Run(const std::atomic<bool> &Stop);
  // Serves on a thread of its own until Halt or destruction.
  void Start();
  void Halt();

private:
  TStationServer(TLineResponder &Responder, int Line);
  void Serve(int Fd, const std::atomic<bool> &Stop);
  bool Reply(int Fd, const std::atomic<bool> &Stop, const TReply &Reply);

  TLineResponder &Responder;
  int Line;
  int MainFd = -1;   // the terminal's master side, or the listening socket
  int HoldFd = -1;   // the terminal's device side, kept open while serving
  int ClientFd = -1; // the connected TCP client
  bool Tcp = false;
  std::string DevicePath;
  std::uint16_t TcpPort = 0;
  TLinePacer Pacer;
  std::atomic<std::uint64_t> Received{0};
  std::atomic<std::uint64_t> Sent{0};
  std::atomic<bool> Stopping{false};
  std::thread Worker;
};

} // namespace de30::sim
