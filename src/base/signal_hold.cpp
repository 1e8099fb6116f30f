#include "base/signal_hold.h"

#include <csignal>

namespace velmora::base {

namespace {

constexpr int heldSignals[] = {SIGTERM, SIGINT, SIGHUP};
volatile std::sig_atomic_t arrived = 0;
struct sigaction earlier[3];

void record(int signal) { arrived = signal; }

}  // namespace

TerminationHold::TerminationHold() {
  arrived = 0;
  struct sigaction holding {};
  holding.sa_handler = record;
  sigfillset(&holding.sa_mask);
  holding.sa_flags = SA_RESTART;
  for (int i = 0; i < 3; ++i) ::sigaction(heldSignals[i], &holding, &earlier[i]);
}

TerminationHold::~TerminationHold() {
  for (int i = 0; i < 3; ++i) ::sigaction(heldSignals[i], &earlier[i], nullptr);
  if (const int signal = arrived; signal != 0) {
    arrived = 0;
    ::raise(signal);
  }
}

int TerminationHold::pending() { return arrived; }

}  // namespace velmora::base
