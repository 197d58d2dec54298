// A host as an integrator writes it, built against an installed de30: a channel of
// its own on the installed base class, which only opens, writes and reads, and
// the installed serial channel. Exits non-zero when the driver does not answer as
// built.
#include <de30/channels/line_channel.hpp>
#include <de30/channels/serial_channel.hpp>
#include <de30/driver.hpp>

#include <cstdio>
#include <deque>

namespace {

// Answers every frame as an idle pump answers a status poll: the lead byte, the
// status byte 0, its complement.
class TIdlePumpLink final : public de30::channels::TLink {
public:
  bool Write(const std::uint8_t *Data, std::size_t Count) override {
    if (Count >= 2)
      Pending = {Data[1], 0x00, 0xFF};
    return true;
  }
  TRead Read(std::uint8_t *Dest, std::size_t Count, std::chrono::milliseconds) override {
    TRead Result;
    for (; Result.Count < Count && !Pending.empty(); ++Result.Count) {
      Dest[Result.Count] = Pending.front();
      Pending.pop_front();
    }
    return Result;
  }

private:
  std::deque<std::uint8_t> Pending;
};

class TIdlePumpChannel final : public de30::channels::TLineChannel {
protected:
  std::unique_ptr<de30::channels::TLink> Open(std::int32_t, std::int32_t,
                                              std::int32_t &) override {
    return std::make_unique<TIdlePumpLink>();
  }
};

} // namespace

int main() {
  TIdlePumpChannel Channel;
  auto Driver = de30::GetDE30(0, 0, &Channel);
  const de30::TIdentString Ident = Driver->GetIdent();
  std::printf("%s (%u bytes)\n", de30::IdentText, static_cast<unsigned>(Ident[0]));
  if (Ident[0] != 30 || Driver->InitLine(1) != 0)
    return 1;
  // Twice: the first poll shows the driver the pump idle, the second reports it.
  Driver->GetSost(1, 3);
  const std::uint16_t Status = Driver->GetSost(1, 3);
  std::printf("pump 3 on the own channel: status %u\n", Status);

  de30::channels::TSerialChannel Serial({{1, "/dev/de30-no-such-device"}});
  auto OnSerial = de30::GetDE30(0, 0, &Serial);
  const std::int32_t Error = OnSerial->InitLine(1);
  std::printf("serial line 1: %s\n", Serial.LastErrorText(1).c_str());
  return Status == 192 && Error == de30::channels::ErrOpenFailed ? 0 : 1;
}
