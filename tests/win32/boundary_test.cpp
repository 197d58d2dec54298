// What crosses the boundary besides results: the driver's failures as structured
// exceptions with their kind and messages, the host's own exceptions absorbed or
// passed on, forwarding through a table the host replaced, independent drivers,
// and the host's floating-point control word.

#include "fixture.hpp"

namespace de30::wintest {
namespace {

constexpr DWORD HostCode = 0xE0001234;

// Replaces one entry of the object's table with a host function, as a host
// "subclass" does, and puts the DLL's table back when done.
class TReplacedEntry {
public:
  TReplacedEntry(const TDriver &D, int Position, const void *Code)
      : Object(reinterpret_cast<const void **>(D.Object)), Original(*Object) {
    std::memcpy(Table, Original, sizeof Table);
    Table[Position] = Code;
    *Object = Table;
  }
  ~TReplacedEntry() { *Object = Original; }
  TReplacedEntry(const TReplacedEntry &) = delete;
  TReplacedEntry &operator=(const TReplacedEntry &) = delete;

private:
  const void **Object;
  const void *Original;
  const void *Table[DE30_POSITIONS];
};

// What the host's replacements received, words after the object.
TWord Seen[8];
int SeenCount;
void See(std::initializer_list<TWord> Words) {
  SeenCount = 0;
  for (TWord W : Words)
    Seen[SeenCount++] = W;
}

double __stdcall HostReadFill(void *, TWord Line, TWord Pump, double *Value2) {
  See({Line, Pump});
  *Value2 = 2.5;
  return 7.25;
}
void __stdcall HostSetDoseLitres(void *, TWord Line, TWord Pump, TWord Grade, TWord W,
                                 double Volume) {
  See({Line, Pump, Grade, W, static_cast<TWord>(Volume * 1000)});
}
void __stdcall HostStartPump(void *, TWord Line, TWord Pump, TWord W) { See({Line, Pump, W}); }
TWord __stdcall HostGetSost(void *, TWord Line, TWord Pump) {
  See({Line, Pump});
  return 0xFFFF00E1; // 225; the upper half of EAX is not part of the word
}
double __stdcall HostReadFillRaising(void *, TWord, TWord, double *) {
  const ULONG_PTR Parameters[2] = {0x11, 0x22};
  RaiseException(HostCode, 0, 2, Parameters);
  return 0;
}
TWord __stdcall HostStopPump(void *, TWord Line, TWord Pump, TWord Flag) {
  See({Line, Pump, Flag});
  return 0;
}

} // namespace

DE30_CASE(PositionZeroRaisesTheAbstractErrorAndChangesNothing) {
  TDriver D;
  const TCall C = D.Call(DE30_SPARE0, {});
  CheckFailure(C, DE30_FAILURE_ABSTRACT, "Abstract error", "Abstract error");
  CHECK(D.Channel.Events.empty());
  CHECK_EQ(1u, D.Call(DE30_GET_LINE_STATE, {1}).Al());
}

DE30_CASE(AFailedExchangeRaisesESerialIOWithBothMessages) {
  TDriver D;
  THostAnswer Failing;
  Failing.Result = 5;
  D.Channel.Answer(Failing);
  TCall C = D.Call(DE30_START_PUMP, {1, 3, 0});
  CheckFailure(C, DE30_FAILURE_SERIAL_IO,
               "\xCE\xF8\xE8\xE1\xEA\xE0 \xEF\xF0\xE8 \xE2\xEA\xEB\xFE\xF7\xE5\xED\xE8\xE8 "
               "\xD2\xD0\xCA",
               "Ошибка при включении ТРК");
  CHECK_EQ(1u, D.Channel.Frames().size()); // nothing after the failed exchange

  D.Channel.Answer(Failing);
  C = D.Call(DE30_STOP_PUMP, {1, 3, 0});
  CheckFailure(C, DE30_FAILURE_SERIAL_IO, "Can't STOP POMP", "Can't STOP POMP");
  // The messages stay readable after the call has returned to the host.
  CHECK(std::strcmp(reinterpret_cast<const char *>(C.Record.ExceptionInformation[2]),
                    "Can't STOP POMP") == 0);
}

namespace {
struct TThreadFailure {
  TDriver *Driver;
  TCall Call;
  bool MessagesRead;
};
// The messages live as long as their thread: checked before it ends.
DWORD WINAPI FailOnAnotherThread(void *Parameter) {
  auto *Job = static_cast<TThreadFailure *>(Parameter);
  THostAnswer Failing;
  Failing.Result = 1;
  Job->Driver->Channel.Answer(Failing);
  Job->Call = Job->Driver->Call(DE30_GET_SOST, {1, 1});
  CheckFailure(Job->Call, DE30_FAILURE_SERIAL_IO, "Can't GetSost", "Can't GetSost");
  Job->MessagesRead = true;
  return 0;
}
} // namespace

DE30_CASE(EachThreadKeepsTheMessagesOfItsOwnLastFailure) {
  TDriver D, Other;
  THostAnswer Failing;
  Failing.Result = 1;
  D.Channel.Answer(Failing);
  const TCall Here = D.Call(DE30_STOP_PUMP, {1, 1, 0});
  TThreadFailure Job{&Other, {}, false};
  HANDLE Thread = CreateThread(nullptr, 0, &FailOnAnotherThread, &Job, 0, nullptr);
  CHECK(Thread != nullptr);
  if (Thread == nullptr)
    return;
  WaitForSingleObject(Thread, INFINITE);
  CloseHandle(Thread);
  CHECK(Job.MessagesRead);
  // The other thread's failure has not overwritten this thread's messages.
  CheckFailure(Here, DE30_FAILURE_SERIAL_IO, "Can't STOP POMP", "Can't STOP POMP");
}

DE30_CASE(RangeErrorsRaiseKindTwoBeforeAnythingIsSent) {
  TDriver D;
  CheckFailure(D.Call(DE30_START_PUMP, {33, 3, 0}), DE30_FAILURE_RANGE, "Range check error",
               "Range check error");
  CheckFailure(D.Call(DE30_GET_SOST, {1, 32}), DE30_FAILURE_RANGE, "Range check error",
               "Range check error");
  CHECK(D.Channel.Events.empty());
}

DE30_CASE(ADriverWithoutChannelFailsAtItsFirstExchange) {
  TDriver D(0);
  CheckFailure(D.Call(DE30_GET_SOST, {1, 1}), DE30_FAILURE_OTHER, "No channel", "No channel");
}

DE30_CASE(AHostExceptionInTransactIsAbsorbed) {
  TDriver D;
  D.Call(DE30_SET_LINE_STATE, {1, 7});
  THostAnswer Raising;
  Raising.Raise = HostCode;
  D.Channel.Answer(Raising);
  // LastError answers 0: the poll goes on as after success, the line state kept.
  TCall C = D.Call(DE30_GET_SOST, {1, 1});
  CHECK(!C.Raised);
  CHECK_EQ(1u, D.Channel.At(DE30_CHANNEL_LAST_ERROR).size());
  CHECK_EQ(0u, D.Channel.At(DE30_CHANNEL_GET_STATE).size());
  CHECK_EQ(7u, D.Call(DE30_GET_LINE_STATE, {1}).Al());

  // LastError's number takes Transact's place.
  D.Channel.LastErrorValue = 9;
  D.Channel.Answer(Raising);
  C = D.Call(DE30_GET_SOST, {1, 1});
  CheckFailure(C, DE30_FAILURE_SERIAL_IO, "Can't GetSost", "Can't GetSost");

  // The guard has left the host's handler chain as it found it: a later exchange
  // and a later host exception behave the same.
  D.Channel.LastErrorValue = 0;
  D.Channel.Reply(StatusReply(0));
  C = D.Call(DE30_GET_SOST, {1, 1});
  CHECK(!C.Raised);
  CHECK_EQ(192u, C.Ax());
}

DE30_CASE(AHostExceptionInGetStateOrInsideTheCheckRoutineIsAbsorbed) {
  TDriver D;
  D.Call(DE30_SET_LINE_STATE, {2, 7});
  D.Channel.RaiseAt[DE30_CHANNEL_GET_STATE] = HostCode;
  TCall C = D.Call(DE30_GET_SOST, {2, 1});
  CHECK(!C.Raised);
  CHECK_EQ(1u, D.Channel.At(DE30_CHANNEL_LAST_ERROR).size());
  CHECK_EQ(7u, D.Call(DE30_GET_LINE_STATE, {2}).Al());
  D.Channel.RaiseAt[DE30_CHANNEL_GET_STATE] = 0;

  // SetState raising inside the check routine, itself inside the host's Transact:
  // the exception leaves the routine as a structured one and reaches the Transact
  // guard through the host's frames.
  D.Channel.Clear();
  D.Channel.RaiseAt[DE30_CHANNEL_SET_STATE] = HostCode;
  C = D.Call(DE30_GET_SOST, {2, 1});
  CHECK(!C.Raised);
  CHECK_EQ(1u, D.Channel.At(DE30_CHANNEL_LAST_ERROR).size());
  CHECK_EQ(0u, D.Channel.At(DE30_CHANNEL_SET_ERROR).size());
  CHECK_EQ(7u, D.Call(DE30_GET_LINE_STATE, {2}).Al());
}

DE30_CASE(TheHostsOwnFramesAreUnwoundOnceWhateverHappensToItsException) {
  TDriver D;
  D.Channel.RaiseUnderFinally = true;
  THostAnswer Raising;
  Raising.Raise = HostCode;
  D.Channel.Answer(Raising);
  CHECK(!D.Call(DE30_GET_SOST, {1, 1}).Raised); // absorbed
  CHECK_EQ(1u, D.Channel.Unwinds);

  D.Channel.RaiseAt[DE30_CHANNEL_SETUP_LINE] = HostCode;
  CheckHostException(D.Call(DE30_INIT_LINE, {1}), HostCode); // passed on
  CHECK_EQ(2u, D.Channel.Unwinds);

  // From SetState inside the check routine inside Transact: caught around SetState,
  // raised again from the routine, absorbed around Transact; unwound once all the same.
  D.Channel.RaiseAt[DE30_CHANNEL_SETUP_LINE] = 0;
  D.Channel.RaiseAt[DE30_CHANNEL_SET_STATE] = HostCode;
  CHECK(!D.Call(DE30_GET_SOST, {1, 1}).Raised);
  CHECK_EQ(3u, D.Channel.Unwinds);
}

DE30_CASE(HostExceptionsFromOtherPositionsReachTheHostUnchanged) {
  TDriver D;
  D.Channel.RaiseAt[DE30_CHANNEL_SETUP_LINE] = HostCode;
  CheckHostException(D.Call(DE30_INIT_LINE, {1}), HostCode);
  D.Channel.RaiseAt[DE30_CHANNEL_SETUP_LINE] = 0;

  // LastError, asked after an absorbed Transact exception.
  THostAnswer Raising;
  Raising.Raise = 0xE0005678;
  D.Channel.Answer(Raising);
  D.Channel.RaiseAt[DE30_CHANNEL_LAST_ERROR] = HostCode + 1;
  CheckHostException(D.Call(DE30_GET_SOST, {1, 1}), HostCode + 1);
  D.Channel.RaiseAt[DE30_CHANNEL_LAST_ERROR] = 0;

  // SetReplyCheck, before any Transact.
  D.Channel.Clear();
  D.Channel.RaiseAt[DE30_CHANNEL_SET_REPLY_CHECK] = HostCode + 2;
  CheckHostException(D.Call(DE30_READ_FILL, {1, 1, Word(&D)}), HostCode + 2);
  CHECK_EQ(0u, D.Channel.At(DE30_CHANNEL_TRANSACT).size());
  D.Channel.RaiseAt[DE30_CHANNEL_SET_REPLY_CHECK] = 0;

  // The driver works on afterwards.
  D.Channel.SetupResult = 4;
  CHECK_EQ(4u, D.Call(DE30_INIT_LINE, {1}).Eax);
}

DE30_CASE(ForwardingPositionsCallThroughTheTableTheObjectPointsTo) {
  TDriver D;
  {
    TReplacedEntry Replaced(D, DE30_READ_FILL, reinterpret_cast<const void *>(&HostReadFill));
    double Value1 = 0, Value2 = 0;
    const TCall C = D.Call(DE30_GET_FILL_DATA, {4, 5, Word(&Value1), Word(&Value2)});
    CHECK_EQ(5u, C.Removed);
    CHECK(Value1 == 7.25 && Value2 == 2.5);
    CHECK(SeenCount == 2 && Seen[0] == 4 && Seen[1] == 5);
  }
  {
    TReplacedEntry Replaced(D, DE30_SET_DOSE_LITRES,
                            reinterpret_cast<const void *>(&HostSetDoseLitres));
    const TCall C = D.Call(DE30_SET_DOSE_MONEY, {1, 2, 2, 0x77, Low(5.0), High(5.0)});
    CHECK_EQ(7u, C.Removed);
    // Grade 2 costs 2.0 on a new driver: 2.5 litres.
    CHECK(SeenCount == 5 && Seen[0] == 1 && Seen[1] == 2 && Seen[2] == 2 && Seen[3] == 0x77 &&
          Seen[4] == 2500);
  }
  {
    TReplacedEntry Replaced(D, DE30_START_PUMP, reinterpret_cast<const void *>(&HostStartPump));
    const TCall C = D.Call(DE30_START_PUMP_EX, {1, 6, 0x33, 0x44});
    CHECK_EQ(5u, C.Removed);
    CHECK(SeenCount == 3 && Seen[0] == 1 && Seen[1] == 6 && Seen[2] == 0x33);
  }
  {
    TReplacedEntry Replaced(D, DE30_GET_SOST, reinterpret_cast<const void *>(&HostGetSost));
    std::uint8_t Record[16] = {};
    const TCall C = D.CallInto(DE30_GET_SOST_EX, Record, {0x101, 0x107, 1});
    CHECK_EQ(5u, C.Removed);
    CHECK(SeenCount == 2 && Seen[0] == 1 && Seen[1] == 7);
    CHECK(Record[0] == 225 && Record[1] == 0 && Record[14] == 1);
  }
  {
    TReplacedEntry Replaced(D, DE30_STOP_PUMP, reinterpret_cast<const void *>(&HostStopPump));
    SeenCount = 0;
    D.Call(DE30_STOP_PUMP_IF, {1, 2, 9, 0x200});
    CHECK_EQ(0, SeenCount);
    const TCall C = D.Call(DE30_STOP_PUMP_IF, {1, 2, 9, 0x201});
    CHECK_EQ(5u, C.Removed);
    CHECK(SeenCount == 3 && Seen[0] == 1 && Seen[1] == 2 && Seen[2] == 0x201);
  }
  {
    // What the called entry raises reaches the host unchanged.
    TReplacedEntry Replaced(D, DE30_READ_FILL,
                            reinterpret_cast<const void *>(&HostReadFillRaising));
    double Value1 = -1, Value2 = -1;
    CheckHostException(D.Call(DE30_GET_FILL_DATA, {1, 1, Word(&Value1), Word(&Value2)}),
                       HostCode);
    CHECK(Value1 == -1);
  }
  // None of this reached the host's channel.
  CHECK(D.Channel.Frames().empty());
}

DE30_CASE(TwoDriversOnTwoChannelsStayIndependent) {
  TDriver A, B;
  A.Call(DE30_SET_LINE_STATE, {1, 9});
  CHECK_EQ(1u, B.Call(DE30_GET_LINE_STATE, {1}).Al());
  B.Channel.Reply(StatusReply(0));
  B.Call(DE30_GET_SOST, {1, 1});
  CHECK(A.Channel.Events.empty());
  CHECK_EQ(1u, B.Channel.Frames().size());
  CHECK_EQ(B.Object, B.Channel.At(DE30_CHANNEL_SET_REPLY_CHECK).at(0).Words[2]);
  CHECK_EQ(9u, A.Call(DE30_GET_LINE_STATE, {1}).Al());
  A.Call(DE30_START_PUMP, {1, 1, 0});
  CHECK_EQ(2u, A.Channel.Frames().size());
  CHECK_EQ(1u, B.Channel.Frames().size());
}

// Runs the host's side of a call under the given x87 control word and reports the
// control and status words the call left behind.
struct THostFpu {
  WORD Set = 0, After = 0, Status = 0;
  template <typename TBody> explicit THostFpu(WORD Word, TBody Body) {
    WORD Before = 0;
    __asm__ volatile("fnstcw %0" : "=m"(Before));
    // Bit 6 is reserved and reads back as 1: compare against the word as stored.
    __asm__ volatile("fnclex\n\tfldcw %1\n\tfnstcw %0" : "=m"(Set) : "m"(Word));
    Body();
    __asm__ volatile("fnstcw %0\n\tfnstsw %1" : "=m"(After), "=m"(Status));
    __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(Before));
  }
};

DE30_CASE(TheHostsFloatingPointControlWordIsKeptAndNeverTraps) {
  TDriver D;
  // Overflow, zero divide and invalid operation unmasked, as Delphi programs run.
  // A money amount that buys 1e310 litres: the division overflows inside the
  // driver, which reports a range error, not a floating-point trap.
  D.Call(DE30_SET_PRICE, {1, 1, 1, 0, 0, Low(0.01), High(0.01)}); // no nozzles: stored only
  TCall C;
  const THostFpu Unmasked(0x1332, [&] {
    C = D.Call(DE30_SET_DOSE_MONEY, {1, 1, 1, 0, Low(1e308), High(1e308)});
  });
  CheckFailure(C, DE30_FAILURE_RANGE, "Range check error", "Range check error");
  CHECK_EQ(0x1332u, Unmasked.Set & ~0x40u);
  CHECK_EQ(Unmasked.Set, Unmasked.After);
  CHECK_EQ(0u, Unmasked.Status & 0xBFu); // no exception flag left to trap later

  // A dose that succeeds leaves no flag either (the division is inexact).
  D.Call(DE30_SET_PRICE, {1, 1, 1, 0, 0, Low(45.50), High(45.50)});
  const THostFpu AfterSuccess(0x1332, [&] {
    C = D.Call(DE30_SET_DOSE_MONEY, {1, 1, 1, 0, Low(100.0), High(100.0)});
  });
  CHECK(!C.Raised);
  CHECK_EQ(AfterSuccess.Set, AfterSuccess.After);
  CHECK_EQ(0u, AfterSuccess.Status & 0xBFu);
}

DE30_CASE(TheHostsChannelRunsUnderTheHostsControlWord) {
  TDriver D;
  D.Channel.Reply(StatusReply(0));
  const THostFpu Host(0x1332, [&] { D.Call(DE30_GET_SOST, {1, 1}); });
  // SetReplyCheck, Transact, SetState and SetError (from the check routine inside
  // Transact), GetState.
  CHECK_EQ(5u, D.Channel.Events.size());
  for (const THostEvent &E : D.Channel.Events)
    CHECK_EQ(Host.Set, E.ControlWord);
  CHECK_EQ(Host.Set, Host.After);
}

DE30_CASE(TheDriverComputesInDoublesWhateverPrecisionTheHostRunsIn) {
  TDriver D;
  std::uint8_t Record[16];
  D.Channel.Reply(StatusReply(0x00));
  D.CallInto(DE30_GET_SOST_EX, Record, {1, 3, 1});
  const TBytes Totals = {0, 0, 0x00, 0, 0x00, 0, 0x12, 0, 0x34, 0, 0x56, 0, 0x78, 0, 0, 0};
  D.Channel.Reply(Totals).Reply(Totals);
  double Total1 = 0, Total2 = 0;
  // Single precision, as Direct3D leaves it: 123456.78 would come out as 123456.78125.
  const THostFpu Single(0x007F, [&] {
    D.Call(DE30_GET_TOTALS, {1, 3, 0, Word(&Total1), Word(&Total2), 0, 0});
  });
  CHECK(Total1 == 123456.78);
  CHECK(Total2 == 123456.78);
  CHECK_EQ(Single.Set, Single.After);
}

} // namespace de30::wintest
