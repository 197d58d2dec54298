// The Windows test host: loads DE30.dll as a filling-station program does and runs
// every case; exits non-zero when a check failed.

#include "fixture.hpp"

#include <cstdio>
#include <cstdlib>

namespace de30::wintest {
namespace {
int Failures = 0;
const char *Current = "";
} // namespace

std::vector<TCase> &Cases() {
  static std::vector<TCase> All;
  return All;
}

void Fail(const char *File, int Line, const char *Text) {
  ++Failures;
  std::printf("  FAILED %s (%s:%d): %s\n", Current, File, Line, Text);
}

TLibrary &Library() {
  static TLibrary Loaded;
  return Loaded;
}

TDriver::TDriver() : TDriver(Word(&Channel)) {}

TDriver::TDriver(TWord ChannelWord) {
  const TCall Created = Probe(Library().GetDE30, {0x1FF, 0x00C0FFEE, ChannelWord});
  CHECK(!Created.Raised);
  CHECK_EQ(3u, Created.Removed);
  Object = Created.Eax;
}

const void *TDriver::Entry(int Position) const {
  return (*reinterpret_cast<const void *const *const *>(Object))[Position];
}

TCall TDriver::Call(int Position, std::initializer_list<TWord> Words, TWord Flags) const {
  std::vector<TWord> All{Object};
  All.insert(All.end(), Words);
  return Probe(Entry(Position), All.data(), All.size(), Flags);
}

TCall TDriver::CallInto(int Position, void *Result, std::initializer_list<TWord> Words) const {
  std::vector<TWord> All{Word(Result), Object};
  All.insert(All.end(), Words);
  return Probe(Entry(Position), All.data(), All.size());
}

void CheckFailure(const TCall &Call, ULONG_PTR Kind, const char *Cp1251, const char *Utf8) {
  CHECK(Call.Raised);
  CHECK_EQ(DE30_EXCEPTION_CODE, Call.Record.ExceptionCode);
  CHECK_EQ(3u, Call.Record.NumberParameters);
  // The parameters are only worth reading when the exception is the driver's.
  if (!Call.Raised || Call.Record.ExceptionCode != DE30_EXCEPTION_CODE ||
      Call.Record.NumberParameters != 3)
    return;
  CHECK(Call.Record.ExceptionFlags & EXCEPTION_NONCONTINUABLE);
  CHECK_EQ(Kind, Call.Record.ExceptionInformation[0]);
  const auto *Text1251 = reinterpret_cast<const char *>(Call.Record.ExceptionInformation[1]);
  const auto *Text8 = reinterpret_cast<const char *>(Call.Record.ExceptionInformation[2]);
  CHECK(Text1251 != nullptr && std::strcmp(Text1251, Cp1251) == 0);
  CHECK(Text8 != nullptr && std::strcmp(Text8, Utf8) == 0);
}

void CheckHostException(const TCall &Call, DWORD Code) {
  CHECK(Call.Raised);
  CHECK_EQ(Code, Call.Record.ExceptionCode);
  CHECK_EQ(2u, Call.Record.NumberParameters);
  CHECK_EQ(0x11u, Call.Record.ExceptionInformation[0]);
  CHECK_EQ(0x22u, Call.Record.ExceptionInformation[1]);
}

} // namespace de30::wintest

int main() {
  using namespace de30::wintest;
  TLibrary &Lib = Library();
  Lib.Module = LoadLibraryA("DE30.dll");
  if (Lib.Module == nullptr) {
    std::printf("cannot load DE30.dll (error %lu)\n0 passed, 1 failed\n", GetLastError());
    return EXIT_FAILURE;
  }
  Lib.GetDE30 = reinterpret_cast<const void *>(GetProcAddress(Lib.Module, "GetDE30"));
  Lib.GetDriver25 = reinterpret_cast<const void *>(GetProcAddress(Lib.Module, "GetDriver25"));
  if (Lib.GetDE30 == nullptr || Lib.GetDriver25 == nullptr) {
    std::printf("DE30.dll lacks GetDE30 or GetDriver25\n0 passed, 1 failed\n");
    return EXIT_FAILURE;
  }
  int Passed = 0, Failed = 0;
  for (const TCase &Case : Cases()) {
    Current = Case.Name;
    const int Before = Failures;
    Case.Body();
    if (Failures == Before) {
      ++Passed;
      std::printf("ok      %s\n", Case.Name);
    } else {
      ++Failed;
      std::printf("FAILED  %s\n", Case.Name);
    }
  }
  std::printf("%d passed, %d failed\n", Passed, Failed);
  return Failed == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
