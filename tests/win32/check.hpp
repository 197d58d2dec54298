#pragma once
// Just enough of a test framework for a program that runs under Wine, where
// GoogleTest is not available: named cases, checks that report and go on, and a
// closing line "N passed, M failed".

#include <cstdio>
#include <functional>
#include <vector>

namespace de30::wintest {

struct TCase {
  const char *Name;
  void (*Body)();
};

std::vector<TCase> &Cases();
void Fail(const char *File, int Line, const char *Text);

struct TRegistration {
  TRegistration(const char *Name, void (*Body)()) { Cases().push_back({Name, Body}); }
};

} // namespace de30::wintest

#define DE30_CASE(Name)                                                                        \
  static void Name();                                                                          \
  static const ::de30::wintest::TRegistration Name##Registration(#Name, &Name);                \
  static void Name()

#define CHECK(Condition)                                                                       \
  do {                                                                                         \
    if (!(Condition))                                                                          \
      ::de30::wintest::Fail(__FILE__, __LINE__, #Condition);                                   \
  } while (0)

#define CHECK_EQ(Expected, Actual)                                                             \
  do {                                                                                         \
    const auto DE30_E = (Expected);                                                            \
    const auto DE30_A = (Actual);                                                              \
    if (!(DE30_E == DE30_A)) {                                                                 \
      char DE30_T[256];                                                                        \
      std::snprintf(DE30_T, sizeof DE30_T, "%s == %s (0x%llx vs 0x%llx)", #Expected, #Actual,  \
                    static_cast<unsigned long long>(DE30_E),                                   \
                    static_cast<unsigned long long>(DE30_A));                                  \
      ::de30::wintest::Fail(__FILE__, __LINE__, DE30_T);                                       \
    }                                                                                          \
  } while (0)
