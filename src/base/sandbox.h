#pragma once
// The lock a worker process puts on itself before it reads a single byte of
// an untrusted file. After it, the process cannot open any path, make a
// socket, start a program, trace or signal another process, or change the
// file system, and it runs under resource limits. What the process has
// open (the channel to the bridge, the descriptors the bridge hands it,
// /dev/null) is all it can reach. Nothing undoes it.
#include <cstdint>

namespace velmora::base {

struct SandboxLimits {
  std::uint64_t addressSpaceBytes = std::uint64_t{2} << 30;  // RLIMIT_AS
  std::uint64_t cpuSeconds = 3600;  // RLIMIT_CPU over the worker's life
};

// Sets the limits (address space, CPU time, no file may grow, no core
// dumps, no new processes' worth of privileges) and loads the system-call
// filter. A forbidden call ends the process with SIGSYS. False when any of
// it could not be put in place; the caller must then not go on.
bool enterSandbox(const SandboxLimits& limits = SandboxLimits());

}  // namespace velmora::base
