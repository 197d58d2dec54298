// A short self-check: creates a driver on an in-memory pump and polls it once.
#include "de30/driver.hpp"

#include <cstdio>

namespace {

// Answers every transaction with an echo of the lead byte and status byte 0x0A
// (nozzle lifted), accepting each reply as a real channel would.
class TLoopback final : public de30::TComChannel {
public:
  std::int32_t LastError(std::int32_t) override { return 0; }
  void SetError(std::int32_t, std::int32_t) override {}
  void SetState(std::int32_t, std::int32_t NewState) override {
    State = static_cast<std::uint8_t>(NewState);
  }
  std::uint8_t GetState(std::int32_t) override { return State; }
  std::int32_t SetupLine(std::int32_t, std::int32_t, std::int32_t) override { return 0; }
  std::int32_t Transact(std::int32_t Line, std::int32_t, const std::uint8_t *Frame,
                        std::uint8_t FrameLength, std::uint8_t *Reply, std::uint8_t ReplyLength,
                        std::uint8_t) override {
    std::printf("  frame:");
    for (int I = 0; I < FrameLength; ++I)
      std::printf(" %02X", Frame[I]);
    std::printf("\n");
    const std::uint8_t Sent = Frame[1];
    for (int I = 0; I < ReplyLength; ++I)
      Reply[I] = 0;
    Reply[0] = Sent;
    Reply[1] = 0x0A;
    if (Check != nullptr)
      Check(Data, Line, &Sent, Reply);
    return 0;
  }
  void SetReplyCheck(std::int32_t, de30::TReplyCheck NewCheck, void *NewData) override {
    Check = NewCheck;
    Data = NewData;
  }
  void SetLineSetup(std::int32_t, de30::TLineSetup, void *) override {}

private:
  std::uint8_t State = 1;
  de30::TReplyCheck Check = nullptr;
  void *Data = nullptr;
};

} // namespace

int main() {
  TLoopback Channel;
  auto Driver = de30::GetDE30(0, 0, &Channel);
  std::printf("driver: %s\n", de30::IdentText);
  std::printf("poll line 1, pump 3:\n");
  Driver->SetLineState(1, 1);
  const unsigned First = Driver->GetSost(1, 3);
  std::printf("  status %u (the pump has not reported idle yet)\n", First);
  return First == 192 ? 0 : 1;
}
