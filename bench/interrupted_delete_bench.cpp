// Stops a delete of many assets at random points of its change (SIGKILL,
// and every fourth time SIGTERM), runs the bridge again, and counts assets
// left half in the trash. Needs Xvfb and xdotool for the alert. Prints
// figures; `interrupted_delete_bench [runs] [assets]`.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "faults/interrupted_delete.h"
#include "bridge/worker_mode.h"

using namespace velmora::testing;

int main(int argc, char** argv) {
  // The library's reads run in workers started from this program.
  if (const auto status = velmora::bridge::runWorkerIfStartedAsOne()) return *status;
  const int runs = argc > 1 ? std::atoi(argv[1]) : 200;
  const int assets = argc > 2 ? std::atoi(argv[2]) : 20;
  XDisplay display;
  if (display.name().empty()) {
    std::printf("no X server (Xvfb) could be started\n");
    return 1;
  }
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> point(1, 6 * assets + 2);
  int signalled = 0, halfRuns = 0, halfAssets = 0, stray = 0, journals = 0, unconfirmed = 0;
  int putBack = 0, completed = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int run = 0; run < runs; ++run) {
    ThreePartLibrary library(assets);
    const int signal = run % 4 == 3 ? SIGTERM : SIGKILL;
    const Interruption stop = interruptDelete(library, display, point(random), signal);
    if (!stop.confirmed) ++unconfirmed;
    if (stop.signalled) ++signalled;
    nextRun(library);
    const LibraryState state = inspect(library);
    if (state.half > 0) ++halfRuns;
    halfAssets += state.half;
    stray += state.strayRecords;
    if (state.journalLeft) ++journals;
    if (state.whole == assets) ++putBack;
    if (state.trashed == assets) ++completed;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%d runs of %d assets x 3 files, %d stopped inside the change (%d alerts missed)\n",
              runs, assets, signalled, unconfirmed);
  std::printf("after the next run: %d runs with half assets (%d assets), %d stray trash records, "
              "%d journals left; %d put back whole, %d completed; %.1f s\n",
              halfRuns, halfAssets, stray, journals, putBack, completed, seconds);
  return halfAssets == 0 && stray == 0 && journals == 0 ? 0 : 1;
}
