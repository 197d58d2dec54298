#pragma once
// The ingest process: joins the shared subscription to every station's sales
// ($share/GROUP/PREFIX/+/sales, and alarms the same way), writes what arrives
// into PostgreSQL a batch per transaction, and only once a batch is committed
// acknowledges its sales on each station's PREFIX/LEVEL/acks. A sale this
// process took and did not commit (it died, the database was away) is never
// acknowledged: its station sends it again, and the shared subscription hands
// it to whichever process is there.

#include "office_config.hpp"

#include <atomic>
#include <string>

namespace de30::office {

// Runs until Stop is set; the exit code (0 stopped, 1 could not run).
int RunIngest(const TOfficeConfig &Config, const std::string &ClientId,
              const std::atomic<bool> &Stop);

} // namespace de30::office
