#pragma once
// The shape of the driver's per-line and per-pump tables: fixed arrays indexed from
// 1, exactly as lines, pumps and grades are numbered on the wire and at the host
// interface.

#include "de30/constants.hpp"
#include "de30/errors.hpp"

#include <cstdint>

namespace de30 {

// What a range error names when an index is out of its table.
inline constexpr char LineArgument[] = "Line";
inline constexpr char PumpArgument[] = "Pump";
inline constexpr char GradeArgument[] = "Grade";
inline constexpr char IndexArgument[] = "index";

// A fixed array indexed 1..N. An index outside raises ERangeError naming Name, so
// no table access can ever reach memory outside the table.
template <typename T, int N, const char *Name = IndexArgument> class TIndexed {
public:
  T &operator[](std::int64_t Index) {
    Check(Index);
    return Items[Index - 1];
  }
  const T &operator[](std::int64_t Index) const {
    Check(Index);
    return Items[Index - 1];
  }
  static constexpr bool Contains(std::int64_t Index) { return Index >= 1 && Index <= N; }
  // Raises the range error an index outside 1..N gets.
  static void Check(std::int64_t Index) {
    if (!Contains(Index))
      throw ERangeError(Name, Index, 1, N);
  }
  static constexpr int Size = N;

private:
  T Items[N]{};
};

template <typename T> using TPerLine = TIndexed<T, LineCount, LineArgument>;
template <typename T> using TPerPump = TPerLine<TIndexed<T, PumpCount, PumpArgument>>;
template <typename T> using TPerGrade = TIndexed<T, GradeCount, GradeArgument>;

} // namespace de30
