#include "faults/tables_snapshot.hpp"

#include <bit>
#include <cstdio>
#include <sstream>

namespace de30::test {
namespace {

constexpr int MaxReported = 12;

class TReport {
public:
  template <typename T>
  void Compare(const char *Table, const std::string &Index, const T &Expected,
               const T &Actual) {
    if (Same(Expected, Actual) || ++Count > MaxReported)
      return;
    Text << Table << Index << ": expected " << +Expected << ", found " << +Actual << '\n';
  }
  std::string Str() const { return Count > MaxReported ? Text.str() + "...\n" : Text.str(); }

private:
  template <typename T> static bool Same(const T &A, const T &B) { return A == B; }
  static bool Same(double A, double B) {
    return std::bit_cast<std::uint64_t>(A) == std::bit_cast<std::uint64_t>(B);
  }
  std::ostringstream Text;
  int Count = 0;
};

std::string At(int Line) {
  char Text[16];
  std::snprintf(Text, sizeof Text, "[%d]", Line);
  return Text;
}
std::string At(int Line, int Pump) { return At(Line) + At(Pump); }

} // namespace

TTables Snapshot(const TVM30 &Driver) { return Driver.Tables(); }

std::string Differences(const TTables &Expected, const TTables &Actual) {
  TReport Report;
  for (int Line = 1; Line <= LineCount; ++Line) {
    Report.Compare("LineState", At(Line), Expected.LineState[Line], Actual.LineState[Line]);
    for (int Pump = 1; Pump <= PumpCount; ++Pump) {
      const std::string Index = At(Line, Pump);
      Report.Compare("CountDown", Index, Expected.CountDown[Line][Pump],
                     Actual.CountDown[Line][Pump]);
      Report.Compare("Authorized", Index, Expected.Authorized[Line][Pump],
                     Actual.Authorized[Line][Pump]);
      Report.Compare("NozzleCount", Index, Expected.NozzleCount[Line][Pump],
                     Actual.NozzleCount[Line][Pump]);
      Report.Compare("AwaitIdle", Index, Expected.AwaitIdle[Line][Pump],
                     Actual.AwaitIdle[Line][Pump]);
      for (int Grade = 1; Grade <= GradeCount; ++Grade)
        Report.Compare("Prices", Index + At(Grade), Expected.Prices[Line][Pump][Grade],
                       Actual.Prices[Line][Pump][Grade]);
    }
  }
  return Report.Str();
}

} // namespace de30::test
