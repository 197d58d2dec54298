#include "serve_lines.hpp"

#include "exit_codes.hpp"

#include <cstdio>

namespace de30::ctl {

TServedLines ServeLines(sim::TLineResponder &Responder, const std::vector<int> &Lines, bool Pty,
                        int Port, int BaudRate) {
  TServedLines Served;
  for (int Line : Lines) {
    std::string Error;
    const int LinePort = Port > 0 ? Port + Line - 1 : 0;
    if (LinePort > 65535)
      throw ECtlError(ExitUsage, "line " + std::to_string(Line) + " would be served on port " +
                                     std::to_string(LinePort) + ", beyond 65535");
    auto Server = Pty ? sim::TStationServer::OnPty(Responder, Line, Error)
                      : sim::TStationServer::OnTcp(Responder, Line,
                                                   static_cast<std::uint16_t>(LinePort), Error);
    if (!Server)
      throw ECtlError(ExitCannotOpen, "line " + std::to_string(Line) + ": " + Error);
    if (BaudRate > 0)
      Server->SetBaudRate(BaudRate);
    std::printf("line %d served on %s\n", Line, Server->Path().c_str());
    Served.Options +=
        (Pty ? " --serial " : " --tcp ") + std::to_string(Line) + "=" + Server->Path();
    Served.Servers.push_back(std::move(Server));
  }
  return Served;
}

} // namespace de30::ctl
