#include "link/init_line.hpp"

namespace de30::link {

std::int32_t ApplyLineSetup(void *Data, std::int32_t Line) {
  TComChannel &Channel = *static_cast<TDriverState *>(Data)->Channel;
  return Channel.SetupLine(Line, LineSetupParameter, LineBaudRate);
}

std::int32_t InitLine(TDriverState &Driver, std::int32_t Line) {
  if (Driver.Channel == nullptr)
    throw ENoChannel();
  Driver.Channel->SetLineSetup(Line, &ApplyLineSetup, &Driver);
  return ApplyLineSetup(&Driver, Line);
}

} // namespace de30::link
