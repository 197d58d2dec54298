#pragma once
// The driver on a real channel, against the simulated station served on a
// pseudo-terminal (SerialChannel) or on a loopback port (TcpChannel). The
// station's time is a manual clock; the channel waits for replies in real time,
// with a short timeout so that the fault cases stay quick.

#include "channels/serial_channel.hpp"
#include "channels/tcp_channel.hpp"
#include "de30/driver.hpp"
#include "sim/clock.hpp"
#include "sim/server.hpp"
#include "sim/station.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace de30::test {

enum class TWire { Pty, Tcp };

inline std::string WireName(const ::testing::TestParamInfo<TWire> &Info) {
  return Info.param == TWire::Pty ? "SerialOnPty" : "TcpOnLoopback";
}

class EndToEnd : public ::testing::TestWithParam<TWire> {
protected:
  static constexpr auto Timeout = std::chrono::milliseconds(300);

  EndToEnd() : Station(Clock), Pauser(Clock) {
    sim::TPumpConfig One;
    One.Address = 1;
    sim::TPumpConfig Two;
    Two.Address = 2;
    Two.Nozzles = 2;
    Station.AddPump(1, One);
    Station.AddPump(1, Two);
  }

  void SetUp() override {
    std::string Error;
    if (GetParam() == TWire::Pty) {
      Server = sim::TStationServer::OnPty(Station, 1, Error);
      ASSERT_TRUE(Server) << Error;
      Channel = std::make_unique<channels::TSerialChannel>(
          std::map<std::int32_t, std::string>{{1, Server->Path()}});
    } else {
      Server = sim::TStationServer::OnTcp(Station, 1, 0, Error);
      ASSERT_TRUE(Server) << Error;
      Channel = std::make_unique<channels::TTcpChannel>(
          std::map<std::int32_t, channels::TEndpoint>{{1, {"127.0.0.1", Server->Port()}}});
    }
    Server->Start();
    Channel->SetReplyTimeout(Timeout);
    Driver = GetDE30(0, 0, Channel.get(), &Pauser);
    ASSERT_EQ(Driver->InitLine(1), 0);
  }

  void TearDown() override {
    Driver.reset();
    Channel.reset();
    Server.reset();
  }

  std::uint8_t Poll(int Pump, int Nozzles) {
    TSostRecord Record{};
    Driver->GetSostEx(1, static_cast<std::uint8_t>(Pump), static_cast<std::uint8_t>(Nozzles),
                      Record);
    return Record.Sost;
  }

  void Fault(sim::TFaultKind Kind) {
    sim::TFaultRule Rule;
    Rule.Kind = Kind;
    Rule.DelayMs = 2 * Timeout.count();
    Station.AddFault(Rule);
  }

  sim::TManualClock Clock;
  sim::TSimStation Station;
  sim::TClockPauser Pauser;
  std::unique_ptr<sim::TStationServer> Server;
  std::unique_ptr<channels::TLineChannel> Channel;
  std::unique_ptr<TVM30> Driver;
};

} // namespace de30::test
