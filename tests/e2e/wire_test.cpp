// The driver through SerialChannel and TcpChannel against the served station.
#include "e2e_fixture.hpp"

#include <thread>

namespace de30::test {
namespace {

using channels::ErrClosed;
using channels::ErrOpenFailed;
using channels::ErrShortReply;
using channels::ErrTimeout;
using channels::ErrWriteFailed;

TEST_P(EndToEnd, AWholeTransactionCrossesTheWire) {
  ASSERT_EQ(Poll(1, 1), 192);
  Driver->SetPrice(1, 1, 1, 40.00);
  ASSERT_TRUE(Station.LiftNozzle(1, 1, 1));
  EXPECT_EQ(Poll(1, 1), 225);
  Driver->SetDoseLitres(1, 1, 2.5);
  Driver->StartPump(1, 1);
  EXPECT_EQ(Poll(1, 1), 217);
  Clock.Advance(4000);
  double Amount = 0;
  const double Midway = Driver->ReadFill(1, 1, Amount);
  EXPECT_GT(Midway, 0.0);
  EXPECT_LT(Midway, 2.5);
  EXPECT_EQ(Poll(1, 1), 217);
  Clock.Advance(10000);
  EXPECT_EQ(Poll(1, 1), 192);
  EXPECT_DOUBLE_EQ(Driver->ReadFill(1, 1, Amount), 2.50);
  EXPECT_DOUBLE_EQ(Amount, 100.00);
  double Volume = 0, Money = 0;
  Driver->GetTotals(1, 1, Volume, Money);
  EXPECT_DOUBLE_EQ(Volume, 2.50);
  EXPECT_DOUBLE_EQ(Money, 100.00);
}

TEST_P(EndToEnd, AMultiNozzlePumpReportsItsNozzleAcrossTheWire) {
  Poll(2, 2);
  Station.LiftNozzle(1, 2, 2);
  EXPECT_EQ(Poll(2, 2), 226);
  Driver->StartPump(1, 2);
  EXPECT_EQ(Poll(2, 2), 218);
}

TEST_P(EndToEnd, NoReplyGivesTheTimeoutError) {
  Fault(sim::TFaultKind::NoReply);
  EXPECT_THROW(Driver->GetSost(1, 1), ESerialIO);
  EXPECT_EQ(Channel->LastError(1), ErrTimeout);
  EXPECT_EQ(Driver->GetSost(1, 1), 192);
}

TEST_P(EndToEnd, ALateReplyTimesOutAndIsDiscardedBeforeTheNextCommand) {
  Fault(sim::TFaultKind::LateReply);
  EXPECT_THROW(Driver->GetSost(1, 1), ESerialIO);
  EXPECT_EQ(Channel->LastError(1), ErrTimeout);
  std::this_thread::sleep_for(2 * Timeout); // the late reply arrives meanwhile
  double Amount = 0;
  EXPECT_DOUBLE_EQ(Driver->ReadFill(1, 1, Amount), 0.0);
  EXPECT_EQ(Driver->GetLineState(1), LineAccepted);
}

TEST_P(EndToEnd, ALateReplyLandsInTheNextExchangeOfAHostThatDoesNotWait) {
  sim::TFaultRule Late;
  Late.Kind = sim::TFaultKind::LateReply;
  // After the host has given up on it (the timeout and three bytes' time), and
  // well before the next exchange gives up in turn.
  Late.DelayMs = 500;
  Station.AddFault(Late);
  EXPECT_THROW(Driver->GetSost(1, 1), ESerialIO);
  double Amount = -1;
  Driver->ReadFill(1, 1, Amount); // the poll's reply arrives while this one waits
  EXPECT_EQ(Driver->GetLineState(1), LineRejected);
  EXPECT_DOUBLE_EQ(Amount, -1);
  // What was left of the fill reply is flushed before the next frame.
  EXPECT_EQ(Driver->GetSost(1, 1), 192);
  EXPECT_EQ(Driver->GetLineState(1), LineAccepted);
}

TEST_P(EndToEnd, AStrayByteAheadOfAReplyIsRejectedAndWhatItPushedOutIsFlushed) {
  Fault(sim::TFaultKind::StrayByte);
  EXPECT_EQ(Driver->GetSost(1, 1), 0);
  EXPECT_EQ(Driver->GetLineState(1), LineRejected);
  EXPECT_EQ(Driver->GetSost(1, 1), 192);
  EXPECT_EQ(Driver->GetLineState(1), LineAccepted);
}

TEST_P(EndToEnd, AWrongEchoIsRejected) {
  Fault(sim::TFaultKind::WrongEcho);
  EXPECT_EQ(Driver->GetSost(1, 1), 0);
  EXPECT_EQ(Driver->GetLineState(1), LineRejected);
  EXPECT_EQ(Channel->LastError(1), ReplyRejectedCode);
}

TEST_P(EndToEnd, ADroppedByteIsAShortReply) {
  Fault(sim::TFaultKind::DropByte);
  double Amount = 0;
  EXPECT_THROW(Driver->ReadFill(1, 1, Amount), ESerialIO);
  EXPECT_EQ(Channel->LastError(1), ErrShortReply);
}

TEST_P(EndToEnd, CorruptDigitsArriveAsAWrongValue) {
  Fault(sim::TFaultKind::CorruptDigits);
  double Amount = 0;
  EXPECT_DOUBLE_EQ(Driver->ReadFill(1, 1, Amount), 0.14);
}

TEST_P(EndToEnd, AnErrorStatusMakesTheDriverReinitialiseThePump) {
  Fault(sim::TFaultKind::ErrorStatus);
  const std::size_t Before = Station.Frames(1);
  EXPECT_EQ(Driver->GetSost(1, 1), 209);
  EXPECT_EQ(Station.Frames(1) - Before, 2u);
}

TEST_P(EndToEnd, AVanishedStationIsAnErrorNeverAHang) {
  EXPECT_EQ(Driver->GetSost(1, 1), 192);
  Server.reset();
  const std::uint8_t Frame[] = {0x00, 0x09};
  std::uint8_t Reply[3] = {0x09};
  const std::int32_t First = Channel->Transact(1, 1, Frame, 2, Reply, 3, 0x09);
  EXPECT_TRUE(First == ErrClosed || First == ErrWriteFailed) << First;
  EXPECT_EQ(Channel->Transact(1, 1, Frame, 2, Reply, 3, 0x09), ErrOpenFailed);
  EXPECT_THROW(Driver->GetSost(1, 1), ESerialIO);
}

TEST_P(EndToEnd, APacedLineCarriesEveryByteOfBothDirectionsInTenBitTimes) {
  Poll(2, 2); // the first poll re-initialises the pump
  Server->Halt();
  Server->SetBaudRate(2400);
  Server->Start();
  const std::uint64_t In = Server->BytesReceived();
  const std::uint64_t Out = Server->BytesSent();
  const auto Began = std::chrono::steady_clock::now();
  EXPECT_EQ(Poll(2, 2), 192);
  const auto Took = std::chrono::steady_clock::now() - Began;
  // The station counts a byte just after writing it: stop it before reading.
  Server->Halt();
  // Short poll and nozzle poll: frames of 2 bytes, replies of 3 and 5.
  EXPECT_EQ(Server->BytesReceived() - In, 4u);
  EXPECT_EQ(Server->BytesSent() - Out, 8u);
  // Twelve bytes at 240 a second cannot take less than 50 ms, however idle the machine.
  EXPECT_GE(Took, std::chrono::microseconds(12 * 1'000'000 / 240));
}

INSTANTIATE_TEST_SUITE_P(Wires, EndToEnd, ::testing::Values(TWire::Pty, TWire::Tcp), WireName);

} // namespace
} // namespace de30::test
