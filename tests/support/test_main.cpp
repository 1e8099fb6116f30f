// The tests' entry. The library's reads run in worker processes started
// from this very executable, so it serves as one when started as one.
#include <gtest/gtest.h>

#include "bridge/worker_mode.h"

int main(int argc, char** argv) {
  if (const auto status = velmora::bridge::runWorkerIfStartedAsOne()) return *status;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
