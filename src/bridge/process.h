#pragma once

namespace velmora::bridge {

// Prepares the process before anything else runs: a closed pipe must not
// kill it, and no library may write to standard error.
void quietenProcess();

// Ends the process with `status` from any thread, even while the other one
// is inside the main loop. Standard output holds nothing unwritten (emit
// writes straight through), and no static destructor runs under a live
// main loop.
[[noreturn]] void endProcess(int status);

}  // namespace velmora::bridge
