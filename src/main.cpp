#include "bridge/arguments.h"
#include "bridge/process.h"
#include "bridge/run_modes.h"

int main(int argc, char** argv) {
  using namespace velmora::bridge;
  quietenProcess();
  const Arguments arguments = argumentsFrom(argc, argv);
  if (isHeadless(arguments)) runHeadless(arguments);
  runApplication(arguments);
}
