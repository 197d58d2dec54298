#pragma once
// The --fault option:
//   KIND[,line=N][,pump=N][,command=C][,times=N][,prob=P][,delay=MS][,status=BYTE][,byte=B]
// with KIND one of no-reply, late-reply, wrong-echo, corrupt-digits, drop-byte,
// error-status, stray-byte, and C the frames it spoils (poll, totals, start,
// start-execute, ...: sim::AimNames()). times=-1 (or a probability below 1
// without times) keeps the fault for good.

#include "sim/faults.hpp"

#include <string>

namespace de30::ctl {

// ECtlError(ExitUsage) for a malformed rule.
sim::TFaultRule ParseFault(const std::string &Text);

} // namespace de30::ctl
