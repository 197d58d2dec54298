#pragma once
// Turns a fuzzer's bytes into decisions. Once the bytes run out every read gives 0,
// so an input always plays to the end the same way.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace de30::fuzz {

class TFuzzInput {
public:
  TFuzzInput(const std::uint8_t *Bytes, std::size_t Length) : Data(Bytes), Size(Length) {}

  bool Empty() const { return Pos >= Size; }
  std::uint8_t Byte() { return Pos < Size ? Data[Pos++] : 0; }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Byte() | Byte() << 8); }
  std::int32_t I32() {
    std::uint32_t Word = 0;
    for (int I = 0; I < 4; ++I)
      Word |= static_cast<std::uint32_t>(Byte()) << (8 * I);
    return static_cast<std::int32_t>(Word);
  }
  // A line, pump or grade as a host may pass it: usually 0..300, sometimes any word.
  std::int32_t Index() {
    const std::uint8_t Kind = Byte();
    if (Kind < 0xF0)
      return U16() % 301;
    return I32();
  }
  // Prices, volumes and money: values at the edges of every range, or any bit pattern.
  double Value() {
    static constexpr double Edges[] = {0.0,
                                       -0.0,
                                       1.125,
                                       1.375,
                                       45.5,
                                       99.99,
                                       99.995,
                                       100.0,
                                       9999.99,
                                       9999.995,
                                       21474836.47,
                                       21474836.48,
                                       -21474836.48,
                                       -21474836.49,
                                       -1.0,
                                       -0.005,
                                       1e300,
                                       -1e300,
                                       std::numeric_limits<double>::denorm_min(),
                                       std::numeric_limits<double>::max(),
                                       std::numeric_limits<double>::lowest(),
                                       std::numeric_limits<double>::infinity(),
                                       -std::numeric_limits<double>::infinity(),
                                       std::numeric_limits<double>::quiet_NaN(),
                                       -std::numeric_limits<double>::quiet_NaN(),
                                       std::numeric_limits<double>::signaling_NaN()};
    constexpr std::size_t EdgeCount = sizeof Edges / sizeof Edges[0];
    const std::uint8_t Kind = Byte();
    if (Kind < EdgeCount)
      return Edges[Kind];
    if (Kind < 0xC0)
      return static_cast<double>(U16()) / 100.0;
    std::uint64_t Bits = 0;
    for (int I = 0; I < 8; ++I)
      Bits |= static_cast<std::uint64_t>(Byte()) << (8 * I);
    return std::bit_cast<double>(Bits);
  }

private:
  const std::uint8_t *Data;
  std::size_t Size;
  std::size_t Pos = 0;
};

} // namespace de30::fuzz
