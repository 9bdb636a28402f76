// A driver run: the plug-in reads every device on one thread, as the host does, while the main
// thread prints views, waits for the end or a stop signal, and sums up.
#pragma once

#include "tools/driver/options.h"

namespace driver {

// Runs the devices for the configured time or until SIGINT/SIGTERM, prints the summary and
// returns the exit status: 0 when every device connected, every item showed a value and every
// write succeeded, else 1.
int run(const Options& options);

} // namespace driver
