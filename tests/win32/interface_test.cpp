// Every position of the table and both exports, checked down to the stack word:
// the words each removes, its result in the register the host reads, and what it
// sends through the host's channel.

#include "fixture.hpp"

namespace de30::wintest {
namespace {

const std::uint8_t Ident1251[31] = {
    30,   'v', '2', '.', '5', '0', '#', 0xCF, 0xF0, 0xEE, 0xF2, 0xEE, 0xEA, 0xEE, 0xEB, ' ',
    0xEA, ' ', 'N', 'u', 'o', 'v', 'o', ' ',  'P',  'i',  'g',  'n',  'o',  'n',  'e'};

TBytes Bytes(std::initializer_list<std::uint8_t> List) { return TBytes(List); }

} // namespace

DE30_CASE(ExportsRemoveTheirWordsAndReturnAnObjectWithA24EntryTable) {
  THostChannel Channel;
  const TCall First = Probe(Library().GetDE30, {0, 0x1234, Word(&Channel)});
  CHECK_EQ(3u, First.Removed);
  CHECK(First.KeptRegisters());
  const TCall Second = Probe(Library().GetDriver25,
                             {0, 0x1234, Word(&Channel), 0xFFFFFFFF, 0xDEADBEEF, 1, 2, 3});
  CHECK_EQ(8u, Second.Removed);
  CHECK(First.Eax != 0 && Second.Eax != 0 && First.Eax != Second.Eax);
  const auto *Table = *reinterpret_cast<const void *const *const *>(First.Eax);
  for (int Position = 0; Position < DE30_POSITIONS; ++Position)
    CHECK(Table[Position] != nullptr);
  CHECK(Channel.Events.empty());

  // GetDriver25's object is a driver like any other, bound to the channel given.
  const auto *Table25 = *reinterpret_cast<const void *const *const *>(Second.Eax);
  const TCall Poll = Probe(Table25[DE30_GET_SOST], {Second.Eax, 1, 1});
  CHECK(!Poll.Raised);
  CHECK_EQ(1u, Channel.Frames().size());
  CHECK_EQ(Second.Eax, Channel.At(DE30_CHANNEL_SET_REPLY_CHECK).at(0).Words[2]);
}

DE30_CASE(SparePositionsRemoveTheirWordsAndDoNothing) {
  TDriver D;
  const struct {
    int Position;
    TWord Words;
  } Spares[] = {{DE30_SPARE5, 2},
                {DE30_SPARE8, 8},
                {DE30_SPARE12, 4},
                {DE30_SPARE17, 4},
                {DE30_SPARE18, 5}};
  for (const auto &Spare : Spares) {
    std::vector<TWord> Words(Spare.Words, 0x5A5A5A5A);
    Words[0] = D.Object;
    const TCall C = Probe(D.Entry(Spare.Position), Words.data(), Words.size());
    CHECK_EQ(Spare.Words, C.Removed);
    CHECK(!C.Raised);
    CHECK(C.KeptRegisters());
  }
  CHECK(D.Channel.Events.empty());
}

DE30_CASE(GetIdentWritesThe31BytesInCodePage1251AndNothingBehind) {
  TDriver D;
  std::uint8_t Area[40];
  std::memset(Area, 0xCC, sizeof Area);
  const TCall C = D.CallInto(DE30_GET_IDENT, Area, {});
  CHECK_EQ(2u, C.Removed);
  CHECK(std::memcmp(Area, Ident1251, sizeof Ident1251) == 0);
  CHECK_EQ(0xCCu, Area[31]);

  // It reads nothing of the object.
  std::memset(Area, 0xCC, sizeof Area);
  const TCall Without = Probe(D.Entry(DE30_GET_IDENT), {Word(Area), 0});
  CHECK(!Without.Raised);
  CHECK(std::memcmp(Area, Ident1251, sizeof Ident1251) == 0);
}

DE30_CASE(LineStateIsReadAndWrittenByTheLowByteInAL) {
  TDriver D;
  for (TWord Line = 1; Line <= 32; ++Line)
    CHECK_EQ(1u, D.Call(DE30_GET_LINE_STATE, {Line}).Al());
  const TCall Set = D.Call(DE30_SET_LINE_STATE, {0xABCD0104, 0x12345607});
  CHECK_EQ(3u, Set.Removed);
  const TCall Get = D.Call(DE30_GET_LINE_STATE, {0x104});
  CHECK_EQ(2u, Get.Removed);
  CHECK_EQ(7u, Get.Al());
  CHECK_EQ(1u, D.Call(DE30_GET_LINE_STATE, {5}).Al());
  CHECK(D.Channel.Events.empty());
}

DE30_CASE(GetCapabilityAnswersInALThroughThePointer) {
  TDriver D;
  std::int32_t Value = -7;
  TCall C = D.Call(DE30_GET_CAPABILITY, {1, Word(&Value)});
  CHECK_EQ(3u, C.Removed);
  CHECK_EQ(1u, C.Al());
  CHECK_EQ(0, Value);
  C = D.Call(DE30_GET_CAPABILITY, {4, Word(&Value)});
  CHECK_EQ(1u, C.Al());
  CHECK_EQ(1, Value);
  Value = -7;
  C = D.Call(DE30_GET_CAPABILITY, {3, Word(&Value)});
  CHECK_EQ(0u, C.Al());
  C = D.Call(DE30_GET_CAPABILITY, {0xFFFFFFFF, Word(&Value)});
  CHECK_EQ(0u, C.Al());
  CHECK_EQ(-7, Value);
}

DE30_CASE(InitLineRegistersTheSetupRoutineWhichUsesTheRegisterConvention) {
  TDriver D;
  D.Channel.SetupResult = 0x12345678;
  const TCall C = D.Call(DE30_INIT_LINE, {3});
  CHECK_EQ(2u, C.Removed);
  CHECK_EQ(0x12345678u, C.Eax);
  const auto Registered = D.Channel.At(DE30_CHANNEL_SET_LINE_SETUP);
  CHECK_EQ(1u, Registered.size());
  CHECK_EQ(3u, Registered.at(0).Words[0]);
  CHECK_EQ(D.Object, Registered.at(0).Words[2]);
  const auto Setups = D.Channel.At(DE30_CHANNEL_SETUP_LINE);
  CHECK_EQ(1u, Setups.size());
  CHECK(Setups.at(0).Words[0] == 3 && Setups.at(0).Words[1] == 15 &&
        Setups.at(0).Words[2] == 2400);

  // The host runs the routine itself when it reopens the line: data in EAX, line in
  // EDX, no stack words.
  D.Channel.Clear();
  D.Channel.SetupResult = 77;
  const TCall Setup = Probe(reinterpret_cast<const void *>(D.Channel.SetupRoutine),
                            {D.Channel.SetupData, 0xFFFFFF05, 0xECECECEC}, ProbeRegisters);
  CHECK_EQ(0u, Setup.Removed);
  CHECK_EQ(77u, Setup.Eax);
  CHECK(Setup.KeptRegisters());
  CHECK_EQ(0xFFFFFF05u, D.Channel.At(DE30_CHANNEL_SETUP_LINE).at(0).Words[0]);
}

DE30_CASE(GetSostFramesThePollRunsTheCheckRoutineAndAnswersInAX) {
  TDriver D;
  D.Channel.Reply(StatusReply(0x00)).Reply(StatusReply(0x0A));
  TCall C = D.Call(DE30_GET_SOST, {0x302, 0x103});
  CHECK_EQ(3u, C.Removed);
  CHECK_EQ(192u, C.Ax());
  C = D.Call(DE30_GET_SOST, {2, 3});
  CHECK_EQ(225u, C.Ax());

  const auto &E = D.Channel.Events;
  CHECK_EQ(10u, E.size()); // per poll: SetReplyCheck, Transact, SetState, SetError, GetState
  CHECK_EQ(DE30_CHANNEL_SET_REPLY_CHECK, E.at(0).Position);
  CHECK_EQ(2u, E.at(0).Words[0]);
  CHECK_EQ(D.Object, E.at(0).Words[2]);
  CHECK_EQ(DE30_CHANNEL_TRANSACT, E.at(1).Position);
  CHECK(E.at(1).Frame == Bytes({0x00, 0x19}));
  CHECK(E.at(1).Words[0] == 2 && E.at(1).Words[1] == 2); // the line twice
  CHECK_EQ(2u, E.at(1).Words[3]);                        // frame length
  CHECK_EQ(3u, E.at(1).Words[5]);                        // reply length
  CHECK_EQ(0x19u, E.at(1).Words[6]);                     // lead
  CHECK(E.at(2).Position == DE30_CHANNEL_SET_STATE && E.at(2).Words[1] == 1);
  CHECK(E.at(3).Position == DE30_CHANNEL_SET_ERROR && E.at(3).Words[1] == 0);
  CHECK(E.at(4).Position == DE30_CHANNEL_GET_STATE && E.at(4).Words[0] == 2);

  // The check routine: 3 stack words removed, verdict in AL.
  CHECK_EQ(2, D.Channel.CheckRuns);
  CHECK_EQ(3u, D.Channel.LastCheck.Removed);
  CHECK_EQ(1u, D.Channel.LastCheck.Al());
  CHECK(D.Channel.LastCheck.KeptRegisters());
}

DE30_CASE(ARejectedReplyReportsThroughTheCheckRoutineAndTheLineState) {
  TDriver D;
  D.Channel.Answer(THostAnswer{StatusReply(0x00), true});
  D.Call(DE30_GET_SOST, {1, 1});
  CHECK_EQ(0u, D.Channel.LastCheck.Al());
  CHECK_EQ(3u, D.Channel.LastCheck.Removed);
  CHECK_EQ(3u, D.Channel.At(DE30_CHANNEL_SET_STATE).at(0).Words[1]);
  CHECK_EQ(219u, D.Channel.At(DE30_CHANNEL_SET_ERROR).at(0).Words[1]);
  // GetState answered 0xABCDEF03: only AL counts.
  CHECK_EQ(3u, D.Call(DE30_GET_LINE_STATE, {1}).Al());
}

DE30_CASE(ReadFillReturnsInST0AndGetFillDataWritesBothPointers) {
  TDriver D;
  const TBytes Fill = {0, 0, 0x00, 0, 0x01, 0, 0x23, 0, 0x00, 0, 0x45, 0, 0x67, 0, 0, 0};
  D.Channel.Reply(Fill).Reply(Fill);
  double Value1 = -1, Value2 = -1;
  const TCall Read = D.Call(DE30_READ_FILL, {1, 5, Word(&Value2)}, ProbeSt0);
  CHECK_EQ(4u, Read.Removed);
  CHECK(Read.St0 == 45.67);
  CHECK(Value2 == 1.23);
  CHECK(D.Channel.Frames().at(0) == Bytes({0x00, 0x2A, 0xB4}));

  Value2 = -1;
  const TCall Get = D.Call(DE30_GET_FILL_DATA, {1, 5, Word(&Value1), Word(&Value2)});
  CHECK_EQ(5u, Get.Removed);
  CHECK(Value1 == 45.67);
  CHECK(Value2 == 1.23);
}

DE30_CASE(GetSostExWritesTheRecordThroughTheHiddenPointer) {
  TDriver D;
  std::uint8_t Record[18];
  std::memset(Record, 0xAA, sizeof Record);
  D.Channel.Reply(StatusReply(0x00));
  const TCall Single = D.CallInto(DE30_GET_SOST_EX, Record, {0x101, 0x203, 0x301});
  CHECK_EQ(5u, Single.Removed);
  CHECK_EQ(192u, Record[0]);  // Sost
  CHECK_EQ(0u, Record[1]);    // SostHigh
  CHECK_EQ(0xAAu, Record[2]); // nozzle codes untouched on this path
  CHECK_EQ(0xAAu, Record[13]);
  CHECK_EQ(0u, Record[14]);    // ActiveNozzle
  CHECK_EQ(0u, Record[15]);    // Reserved
  CHECK_EQ(0xAAu, Record[16]); // nothing behind the record
  CHECK(D.Channel.Frames().at(0) == Bytes({0x00, 0x19}));

  // Two nozzles: the short poll, then the nozzle poll; nozzle 2 lifted (nibble 2).
  std::memset(Record, 0, sizeof Record);
  D.Channel.Clear();
  D.Channel.Reply(StatusReply(0x00)).Reply(TBytes{0, 0x02, 0, 0, 0});
  D.CallInto(DE30_GET_SOST_EX, Record, {1, 3, 2});
  const auto Frames = D.Channel.Frames();
  CHECK_EQ(2u, Frames.size());
  CHECK(Frames.at(1) == Bytes({0x00, 0x1E}));
  CHECK_EQ(192u, Record[2]); // nozzle 1
  CHECK_EQ(226u, Record[4]); // nozzle 2: 224 + 2
  CHECK_EQ(226u, Record[0]); // taken as the pump's code
  CHECK_EQ(2u, Record[14]);  // ActiveNozzle
}

DE30_CASE(GetTotalsWritesBothTotalsThroughItsPointers) {
  TDriver D;
  std::uint8_t Record[16];
  D.Channel.Reply(StatusReply(0x00));
  D.CallInto(DE30_GET_SOST_EX, Record, {1, 3, 1}); // one nozzle known
  D.Channel.Clear();
  const TBytes Totals = {0, 0, 0x00, 0, 0x00, 0, 0x12, 0, 0x34, 0, 0x56, 0, 0x78, 0, 0, 0};
  D.Channel.Reply(Totals).Reply(Totals);
  double Total1 = 0, Total2 = 0;
  const TCall C = D.Call(DE30_GET_TOTALS, {1, 3, 0xDEAD, Word(&Total1), Word(&Total2), 1, 2});
  CHECK_EQ(8u, C.Removed);
  CHECK(!C.Raised);
  CHECK(Total1 == 123456.78);
  CHECK(Total2 == 123456.78);
  const auto Frames = D.Channel.Frames();
  CHECK(Frames.size() == 2 && Frames.at(0) == Bytes({0x00, 0x02, 0x87}) &&
        Frames.at(1) == Bytes({0x00, 0x02, 0x78}));
}

DE30_CASE(PricesAndDosesTakeTheirDoubleFromTwoStackWords) {
  TDriver D;
  std::uint8_t Record[16];
  D.Channel.Reply(StatusReply(0x00));
  D.CallInto(DE30_GET_SOST_EX, Record, {1, 3, 1});
  D.Channel.Clear();

  TCall C = D.Call(DE30_SET_PRICE, {1, 3, 1, 9, 9, Low(45.50), High(45.50)});
  CHECK_EQ(8u, C.Removed);
  CHECK(!C.Raised);
  auto Frames = D.Channel.Frames();
  CHECK(Frames.size() == 2 && Frames.at(0) == Bytes({0x00, 0x1C, 0x69, 0x45, 0x50}) &&
        Frames.at(1) == Bytes({0x00, 0x1D, 0xE2}));

  D.Channel.Clear();
  C = D.Call(DE30_SET_DOSE_LITRES, {1, 2, 9, 9, Low(12.34), High(12.34)});
  CHECK_EQ(7u, C.Removed);
  CHECK(D.Channel.Frames().at(0) == Bytes({0x00, 0x14, 0x0F, 0x00, 0x12, 0x34}));

  // 2.675 is stored just below its decimal: its exact hundredths round down to 267,
  // whatever precision the x87 runs at.
  D.Channel.Clear();
  C = D.Call(DE30_SET_DOSE_LITRES, {1, 2, 9, 9, Low(2.675), High(2.675)});
  CHECK(!C.Raised);
  CHECK(D.Channel.Frames().at(0) == Bytes({0x00, 0x14, 0x0F, 0x00, 0x02, 0x67}));

  D.Channel.Clear();
  C = D.Call(DE30_SET_DOSE_MONEY, {1, 3, 1, 9, Low(100.0), High(100.0)});
  CHECK_EQ(7u, C.Removed);
  CHECK(!C.Raised);
  Frames = D.Channel.Frames();
  CHECK(Frames.size() == 2 && Frames.at(0) == Bytes({0x00, 0x1C, 0x0F, 0x00, 0x02, 0x20}));
}

DE30_CASE(PumpControlPositionsRemoveTheirWords) {
  TDriver D;
  TCall C = D.Call(DE30_START_PUMP, {1, 3, 9});
  CHECK_EQ(4u, C.Removed);
  auto Frames = D.Channel.Frames();
  CHECK(Frames.size() == 2 && Frames.at(0) == Bytes({0x00, 0x1C, 0xE1}) &&
        Frames.at(1) == Bytes({0x00, 0x1D, 0xE2}));

  D.Channel.Clear();
  C = D.Call(DE30_START_PUMP_EX, {1, 4, 9, 9});
  CHECK_EQ(5u, C.Removed);
  CHECK(D.Channel.Frames().at(0) == Bytes({0x00, 0x24, 0xE1}));

  D.Channel.Clear();
  C = D.Call(DE30_STOP_PUMP, {1, 3, 9});
  CHECK_EQ(4u, C.Removed);
  CHECK(D.Channel.Frames().at(0) == Bytes({0x00, 0x1C, 0xD2}));

  D.Channel.Clear();
  C = D.Call(DE30_STOP_PUMP_IF, {1, 3, 9, 0x100}); // low byte 0: nothing
  CHECK_EQ(5u, C.Removed);
  CHECK(D.Channel.Events.empty());
  C = D.Call(DE30_STOP_PUMP_IF, {1, 3, 9, 1});
  CHECK_EQ(5u, C.Removed);
  CHECK(D.Channel.Frames().at(0) == Bytes({0x00, 0x1C, 0xD2}));

  D.Channel.Clear();
  C = D.Call(DE30_UNBLOCK_PUMP, {1, 3, 0x5A, 9});
  CHECK_EQ(5u, C.Removed);
  Frames = D.Channel.Frames();
  CHECK_EQ(3u, Frames.size());
  CHECK(Frames.at(1) == Bytes({0x00, 0x1C, 0x96, 0x5A, 0xA5}));
  CHECK_EQ(0u, D.Channel.At(DE30_CHANNEL_TRANSACT).at(1).Words[6]); // unblock's lead argument
}

} // namespace de30::wintest
