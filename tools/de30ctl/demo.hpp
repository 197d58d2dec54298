#pragma once
// `de30ctl demo`: a scripted session on the embedded station, with its time
// simulated so that it finishes in seconds and shows the same every run.

namespace de30::ctl {

class TTransport;

// Runs the session on Transport (an embedded station on a manual clock) and
// returns the exit code: ExitOk, or ExitCheckFailed when the station did not
// behave as the script expects.
int RunDemo(TTransport &Transport);

} // namespace de30::ctl
