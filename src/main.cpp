#include "bridge/arguments.h"
#include "bridge/process.h"
#include "bridge/run_modes.h"
#include "bridge/worker_mode.h"

int main(int argc, char** argv) {
  using namespace velmora::bridge;
  // A worker that this executable started to parse files for it; never
  // reached from the command line.
  if (const auto status = runWorkerIfStartedAsOne()) return *status;
  quietenProcess();
  const Arguments arguments = argumentsFrom(argc, argv);
  if (isHeadless(arguments)) runHeadless(arguments);
  runApplication(arguments);
}
