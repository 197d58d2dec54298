#pragma once
// The record a multi-nozzle status poll fills. Its layout is shared with hosts
// byte for byte (the Windows library writes it through the host's pointer).

#include "de30/constants.hpp"
#include "de30/errors.hpp"

#include <cstddef>
#include <cstdint>

namespace de30 {

struct TSostRecord {
  // Host status code of the pump (high five bits the family, low three the nozzle).
  std::uint8_t Sost;
  // High byte of the short poll's status word (always 0).
  std::uint8_t SostHigh;
  // Host status code of nozzle positions 1..6, high byte 0. Use Nozzle(k).
  std::uint16_t Nozzles[NozzlePositions];
  // Number of the nozzle whose code Sost holds.
  std::uint8_t ActiveNozzle;
  std::uint8_t Reserved;

  // Position k, 1..6; ERangeError outside.
  std::uint16_t &Nozzle(int K) {
    if (K < 1 || K > NozzlePositions)
      throw ERangeError("nozzle position", K, 1, NozzlePositions);
    return Nozzles[K - 1];
  }
};

static_assert(sizeof(TSostRecord) == 16);
static_assert(offsetof(TSostRecord, Sost) == 0);
static_assert(offsetof(TSostRecord, SostHigh) == 1);
static_assert(offsetof(TSostRecord, Nozzles) == 2);
static_assert(offsetof(TSostRecord, ActiveNozzle) == 14);
static_assert(offsetof(TSostRecord, Reserved) == 15);

} // namespace de30
