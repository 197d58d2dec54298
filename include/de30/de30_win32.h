/* DE30.dll, the 32-bit Windows library: what a host program needs to know.
 *
 * C-compatible; a host includes it for the constants below, and reads the rest as
 * the contract of the binary interface. Every function named here is stdcall:
 * arguments pushed right to left, one 32-bit stack word each (a double takes two,
 * in memory order), the callee removes them, results in EAX.
 *
 * Exports (undecorated names):
 *   void *GetDE30(byte ignored, HWND app, void *channel);          3 words
 *   void *GetDriver25(byte ignored, HWND app, void *channel,
 *                     5 ignored words);                             8 words
 * Each call returns a new driver object. The library never frees it; a host that
 * runs for good keeps it, a host that reloads drivers may leak one per call.
 *
 * The driver object: its first word points to a table of 24 code addresses,
 * positions 0..23 below. Each position takes the object as first argument (after
 * the hidden result address of positions 1 and 21) and removes WORDS stack words,
 * hidden address and object included. "byte" arguments: only the low byte of the
 * word is read. Results: byte and bool in AL, the status word in AX, int32 in EAX,
 * the double of position 9 on top of the x87 stack.
 *
 *   pos  operation      words  arguments after the object            result
 *    0   Spare0           -    -                                      raises kind 3
 *    1   GetIdent         2    (hidden: 31-byte result area first)    counted string
 *    2   SetLineState     3    line byte, value byte                  -
 *    3   GetLineState     2    line byte                              byte
 *    4   StopPump         4    line, pump, ignored                    byte (not set)
 *    5   Spare5           2    ignored                                -
 *    6   GetFillData      5    line, pump, double *v1, double *v2     -   (calls 9)
 *    7   GetTotals        8    line, pump, ign, double *t1, double *t2, ign, ign
 *    8   Spare8           8    7 ignored                              -
 *    9   ReadFill         4    line, pump, double *v2                 double (ST0)
 *   10   GetSost          3    line byte, pump byte                   status word (AX)
 *   11   SetPrice         8    line, pump, grade, ign, ign, double price
 *   12   Spare12          4    3 ignored                              -
 *   13   SetDoseLitres    7    line, pump, ign, ign, double volume
 *   14   SetDoseMoney     7    line, pump, grade, w, double money     -   (calls 13)
 *   15   StartPump        4    line, pump, ignored                    -
 *   16   InitLine         2    line                                   int32
 *   17   Spare17          4    3 ignored                              -
 *   18   Spare18          5    4 ignored                              -
 *   19   StartPumpEx      5    line, pump, w, ignored                 -   (calls 15)
 *   20   GetCapability    3    kind, int32 *value                     bool
 *   21   GetSostEx        5    (hidden: TSostRecord area first) line byte, pump byte,
 *                              nozzle count byte                      -   (calls 10)
 *   22   StopPumpIf       5    line, pump, ignored, stop flag byte    -   (calls 4)
 *   23   UnblockPump      5    line, pump, unblock code, ignored      -
 *
 * Positions 6, 14, 19, 21 and 22 call their target through the table the object's
 * first word points to at the time of the call: a host that points the object at a
 * table of its own, with one entry replaced, changes every caller of that entry.
 *
 * The host's channel object: its first word points to the host's table of code
 * addresses. The driver calls, stdcall with the channel object first and byte
 * values zero-extended:
 *    1 LastError(line) -> int32            2 SetError(line, code)
 *    3 SetState(line, state)               4 GetState(line) -> byte in AL
 *   17 SetupLine(line, 15, 2400) -> int32
 *   18 Transact(line, line, frame, frame length, buffer, reply length, lead) -> int32
 *   19 SetReplyCheck(line, routine, data) 21 SetLineSetup(line, routine, data)
 * The routines it registers use the register convention of the original host
 * runtime (data = the driver object):
 *   check:  EAX data, EDX line, ECX ignored; stack words pushed in the order
 *           ignored, buffer A, buffer B; removes those 3 words; bool in AL
 *           (accepts when the first bytes of A and B are equal).
 *   set-up: EAX data, EDX line; no stack words; SetupLine's result in EAX.
 *
 * Failures arrive as structured exceptions. The driver's own:
 *   RaiseException(DE30_EXCEPTION_CODE, EXCEPTION_NONCONTINUABLE, 3, params)
 *   params[0]  kind, one of DE30_FAILURE_*
 *   params[1]  const char *: the message, NUL-terminated, code page 1251
 *   params[2]  const char *: the same message in UTF-8
 * The message buffers belong to the calling thread: they stay valid until the
 * driver raises its next failure on that thread (so at least until the next call
 * into the driver there), and never beyond the thread's end.
 * A structured exception that the host's channel raises from Transact or GetState
 * is absorbed (the driver asks LastError instead, and the line state keeps its
 * value). One raised from any other channel position reaches the host unchanged
 * (same code, flags and parameters) once the driver's own frames are left; so does
 * whatever position 6, 14, 19, 21 or 22 receives from the entry it calls.
 *
 * Floating point: the driver computes under an x87 control word of its own (all
 * exceptions masked, double precision, rounding to nearest) and gives the host's
 * back, with no exception flag pending, before it returns, raises or calls the
 * host's channel (which always runs under the host's control word). An overflow
 * inside the driver therefore arrives as a range error (kind 2), never as a
 * floating-point trap.
 */
#ifndef DE30_DE30_WIN32_H
#define DE30_DE30_WIN32_H

/* Code of every structured exception the driver raises for its own failures. */
#define DE30_EXCEPTION_CODE 0xE0DE3030UL
/* Number of parameters it carries. */
#define DE30_EXCEPTION_PARAMETERS 3

/* params[0]: a pump exchange failed (the operation's fixed message). */
#define DE30_FAILURE_SERIAL_IO 1
/* params[0]: a line, pump, grade or value out of range. */
#define DE30_FAILURE_RANGE 2
/* params[0]: position 0 was called; no operation stands there. */
#define DE30_FAILURE_ABSTRACT 3
/* params[0]: any other failure (no channel, out of memory, ...). */
#define DE30_FAILURE_OTHER 4

/* Positions of the interface table. */
enum {
  DE30_SPARE0 = 0,
  DE30_GET_IDENT,
  DE30_SET_LINE_STATE,
  DE30_GET_LINE_STATE,
  DE30_STOP_PUMP,
  DE30_SPARE5,
  DE30_GET_FILL_DATA,
  DE30_GET_TOTALS,
  DE30_SPARE8,
  DE30_READ_FILL,
  DE30_GET_SOST,
  DE30_SET_PRICE,
  DE30_SPARE12,
  DE30_SET_DOSE_LITRES,
  DE30_SET_DOSE_MONEY,
  DE30_START_PUMP,
  DE30_INIT_LINE,
  DE30_SPARE17,
  DE30_SPARE18,
  DE30_START_PUMP_EX,
  DE30_GET_CAPABILITY,
  DE30_GET_SOST_EX,
  DE30_STOP_PUMP_IF,
  DE30_UNBLOCK_PUMP,
  DE30_POSITIONS
};

/* Positions of the host channel's table the driver calls. */
enum {
  DE30_CHANNEL_LAST_ERROR = 1,
  DE30_CHANNEL_SET_ERROR = 2,
  DE30_CHANNEL_SET_STATE = 3,
  DE30_CHANNEL_GET_STATE = 4,
  DE30_CHANNEL_SETUP_LINE = 17,
  DE30_CHANNEL_TRANSACT = 18,
  DE30_CHANNEL_SET_REPLY_CHECK = 19,
  DE30_CHANNEL_SET_LINE_SETUP = 21
};

#endif
