#include "driver/cp1251.hpp"

#include "de30/messages.hpp"

#include <gtest/gtest.h>

#include <string>

namespace de30 {
namespace {

std::string Convert(const char *Text, std::size_t Size = 128) {
  char Out[128];
  const std::size_t N = Utf8ToCp1251(Text, Out, Size);
  EXPECT_EQ(Out[N], '\0');
  return std::string(Out, N);
}

TEST(Cp1251, MapsCyrillicAndKeepsAscii) {
  EXPECT_EQ(Convert("Can't GetSost"), "Can't GetSost");
  EXPECT_EQ(Convert("АЯая"), "\xC0\xDF\xE0\xFF");
  EXPECT_EQ(Convert("Ёё"), "\xA8\xB8");
  EXPECT_EQ(Convert(messages::ReinitPump), "\xCF\xE5\xF0\xE5\xE8\xED\xE8\xF6\xE8\xE0\xEB"
                                           "\xE8\xE7\xE0\xF6\xE8\xFF \xD2\xD0\xCA");
}

TEST(Cp1251, ReplacesWhatTheCodePageLacksAndSurvivesBrokenInput) {
  EXPECT_EQ(Convert("a€b"), "a?b");
  EXPECT_EQ(Convert("\xD0"), "?");
  EXPECT_EQ(Convert("\xFF"
                    "x"),
            "?x");
}

TEST(Cp1251, CutsAtTheDestinationAndAlwaysTerminates) {
  EXPECT_EQ(Convert("Привет", 4), "\xCF\xF0\xE8");
  char One[1] = {'z'};
  EXPECT_EQ(Utf8ToCp1251("abc", One, 1), 0u);
  EXPECT_EQ(One[0], '\0');
}

} // namespace
} // namespace de30
