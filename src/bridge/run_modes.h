#pragma once
#include "bridge/arguments.h"

namespace velmora::bridge {

// Headless mode: the dispatcher on the calling (main) thread, no main loop,
// no library access. Ends the process.
[[noreturn]] void runHeadless(const Arguments& arguments);

// Application mode: a GLib main loop on the main thread (GTK's when a display
// can be opened) and the dispatcher on a worker thread, which ends the
// process while the loop still runs.
[[noreturn]] void runApplication(const Arguments& arguments);

}  // namespace velmora::bridge
