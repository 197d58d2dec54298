#pragma once
// The multi-nozzle status poll: one nibble per nozzle, translated into host status
// codes, and the pass that picks the nozzle the pump's code is taken from.

#include "de30/driver_state.hpp"
#include "de30/status_record.hpp"

#include <cstdint>

namespace de30::protocol {

// Checks Line and Pump and stores Count as the pump's nozzle count; runs before the
// short poll, so the count stays stored whatever follows.
void BeginSostEx(TDriverState &Driver, std::uint8_t Line, std::uint8_t Pump,
                 std::uint8_t Count);

// Completes the poll after the short poll returned ShortWord. Count 0 or 1: the
// short poll's code goes into the record. Count 2 or more: the nozzle status
// command, the nozzle codes (positions 1..4) and the selection pass; the record is
// left alone when the nozzle reply is not accepted.
void FinishSostEx(TDriverState &Driver, std::uint8_t Line, std::uint8_t Pump,
                  std::uint8_t Count, std::uint16_t ShortWord, TSostRecord &Record);

// Translates nozzle K's nibble (K 1..4) into a host status code, counting the
// pump's CountDown down for nibble 2 or clearing Authorized once it is 0.
std::uint16_t TranslateNozzle(TDriverState &Driver, std::uint8_t Line, std::uint8_t Pump, int K,
                              std::uint8_t Nibble);

// The selection pass over positions 1..Count, starting from the record's Sost:
// a position whose code outranks the current one becomes Sost and ActiveNozzle.
// ERangeError at a position beyond 6 while the current family may still be
// replaced, or when a taken code does not fit a byte.
void SelectActiveNozzle(TSostRecord &Record, std::uint8_t Count);

} // namespace de30::protocol
