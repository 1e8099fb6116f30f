#pragma once
// A delete of many assets that is stopped at a chosen point of its change,
// by SIGKILL or by a termination signal, and the state of the library and
// the trash afterwards. Shared by the fault test and the benchmark that
// repeats it many times.
#include <csignal>
#include <filesystem>
#include <string>

#include "deletion/x_display.h"
#include "support/bridge_runner.h"

namespace velmora::testing {

// A library of `assets` photos, each with a paired video and a sidecar.
class ThreePartLibrary {
 public:
  explicit ThreePartLibrary(int assets);
  const TestHome& home() const { return home_; }
  std::filesystem::path trash() const;
  std::filesystem::path journal() const;
  int assets() const { return assets_; }
  // A request for every asset.
  std::filesystem::path requestAll() const;

 private:
  TestHome home_;
  int assets_;
};

struct Interruption {
  bool confirmed = false;  // the alert appeared and was answered
  bool signalled = false;  // the bridge still ran at the chosen point
  BridgeRun run;
};

// Runs `delete` of every asset on `display`, confirms the alert, and sends
// `signal` once the change has made `events` file system events (the
// journal, info files, moves) in the trash and the journal's folder.
Interruption interruptDelete(const ThreePartLibrary& library, const XDisplay& display, int events,
                             int signal);

// A run that uses the library without changing it (a delete of nothing
// that exists), which puts back what an interrupted change left.
BridgeRun nextRun(const ThreePartLibrary& library);

struct LibraryState {
  int whole = 0;         // assets with all three files in the library
  int trashed = 0;       // assets with all three files in the trash
  int half = 0;          // assets split between the two, or missing a file
  int strayRecords = 0;  // info files without their file, files without info
  bool journalLeft = false;
};

LibraryState inspect(const ThreePartLibrary& library);

}  // namespace velmora::testing
