// The line's figures and last error as the counting channel keeps them: a line
// that cannot be opened is named with its device or address and the reason, in
// the real channel's own words.
#include "channels/serial_channel.hpp"
#include "channels/tcp_channel.hpp"
#include "station/counting_channel.hpp"
#include "station/temp_dir.hpp"
#include "support/free_port.hpp"
#include "support/script_channel.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace de30::station {
namespace {

struct TUnopenable {
  const char *What;
  std::unique_ptr<channels::TLineChannel> Channel;
  std::string Reason; // after "cannot open the line: "
};

TEST(CountingChannel, ALineThatCannotBeOpenedIsNamedWithItsReasonInTheLastError) {
  test::TTempDir Dir;
  const std::string Missing = (Dir / "ttyUSB9").string();
  const auto Port = static_cast<std::uint16_t>(test::FreePort());
  ASSERT_NE(Port, 0);
  std::vector<TUnopenable> Cases;
  Cases.push_back({"a serial device that is not there",
                   std::make_unique<channels::TSerialChannel>(
                       std::map<std::int32_t, std::string>{{1, Missing}}),
                   Missing + ": no such file or directory"});
  Cases.push_back({"a device that is no terminal",
                   std::make_unique<channels::TSerialChannel>(
                       std::map<std::int32_t, std::string>{{1, "/dev/null"}}),
                   "/dev/null: not a terminal"});
  Cases.push_back({"a device server that refuses",
                   std::make_unique<channels::TTcpChannel>(
                       std::map<std::int32_t, channels::TEndpoint>{{1, {"127.0.0.1", Port}}}),
                   "127.0.0.1:" + std::to_string(Port) + ": connection refused"});
  for (const TUnopenable &Case : Cases) {
    SCOPED_TRACE(Case.What);
    TCountingChannel Counted(*Case.Channel);
    EXPECT_EQ(Counted.SetupLine(1, 15, 2400), channels::ErrOpenFailed);
    EXPECT_EQ(Counted.Counts().LastError,
              "line set-up failed: cannot open the line: " + Case.Reason);
    // Each exchange tries to open it again, and fails the same way.
    const std::uint8_t Frame[] = {0x00, 0x19};
    std::uint8_t Reply[3] = {0x19};
    EXPECT_EQ(Counted.Transact(1, 1, Frame, 2, Reply, 3, 0x19), channels::ErrOpenFailed);
    EXPECT_EQ(Counted.Counts().LastError,
              "channel error 2: cannot open the line: " + Case.Reason);
    EXPECT_EQ(Counted.Counts().ErrorsByNumber.at(channels::ErrOpenFailed), 1u);
    EXPECT_EQ(Counted.Counts().Timeouts, 0u);
  }
}

TEST(CountingChannel, AChannelOfAnotherKindIsDescribedByTheNumberAlone) {
  test::TScriptChannel Script;
  Script.Answer(test::TAnswer::Error(channels::ErrOpenFailed))
      .Answer(test::TAnswer::Error(channels::ErrTimeout));
  TCountingChannel Counted(Script);
  const std::uint8_t Frame[] = {0x00, 0x19};
  std::uint8_t Reply[3] = {0x19};
  Counted.Transact(1, 1, Frame, 2, Reply, 3, 0x19);
  EXPECT_EQ(Counted.Counts().LastError, "channel error 2: cannot open the line");
  Counted.Transact(1, 1, Frame, 2, Reply, 3, 0x19);
  EXPECT_EQ(Counted.Counts().LastError, "channel error 4: no reply (timeout)");
  EXPECT_EQ(Counted.Counts().Timeouts, 1u);
  EXPECT_EQ(Counted.Counts().ChannelErrors, 2u);
}

} // namespace
} // namespace de30::station
