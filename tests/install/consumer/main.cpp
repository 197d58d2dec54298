// Creates a driver through the installed headers and library and prints its
// identification text; exits non-zero when the driver does not answer as built.
#include <de30/driver.hpp>

#include <cstdio>

int main() {
  auto Driver = de30::GetDE30(0, 0, nullptr);
  const de30::TIdentString Ident = Driver->GetIdent();
  std::int32_t Value = -1;
  const bool Known = Driver->GetCapability(2, Value);
  std::printf("%s (%u bytes)\n", de30::IdentText, static_cast<unsigned>(Ident[0]));
  return Ident[0] == 30 && Known && Value == 1 && Driver->GetLineState(1) == 1 ? 0 : 1;
}
