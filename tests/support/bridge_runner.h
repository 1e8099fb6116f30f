#pragma once
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/temp_dir.h"

namespace velmora::testing {

struct BridgeRun {
  int status = -1;  // exit status; -1 when killed or not exited normally
  bool timedOut = false;
  std::string out;
  std::string err;
  std::vector<nlohmann::json> lines;  // standard output parsed line by line
  bool allLinesParsed = true;         // every line was one JSON object
  int signal = 0;                     // the signal that ended it, if one did
  long peakResidentKb = 0;            // the bridge's peak resident memory
};

// A home of its own for a run: HOME, XDG_CONFIG_HOME and XDG_DATA_HOME point
// into a temporary folder, and the pictures folder exists (home/Pictures)
// unless told otherwise. Nothing ever touches the real home.
class TestHome {
 public:
  explicit TestHome(bool createPictures = true);
  const std::filesystem::path& home() const { return home_; }
  std::filesystem::path pictures() const { return home_ / "Pictures"; }
  std::filesystem::path scratch() const { return dir_.path() / "scratch"; }
  std::map<std::string, std::string> environment() const;

 private:
  TempDir dir_;
  std::filesystem::path home_;
};

struct RunOptions {
  std::map<std::string, std::string> environment;  // the whole environment
  bool keepDisplay = false;                        // pass DISPLAY through
  double timeoutSeconds = 120;
  bool closeStdoutEarly = false;  // the parent stops reading at once
  // Run as this user and group instead of the test's own (the test must be
  // root): the child drops its privileges before it starts the bridge.
  struct User {
    uid_t uid;
    gid_t gid;
  };
  std::optional<User> runAs;
  // Descriptors the bridge starts with closed (0: standard input, 1:
  // standard output), as a careless parent may leave them.
  std::vector<int> closedDescriptors;
  // The bridge's working folder; empty: the test's own.
  std::filesystem::path workingDirectory;
  // Called with the child's process id once it runs.
  std::function<void(pid_t)> started;
  // Called with each line of standard output (without its newline) as it
  // arrives, while the bridge still runs.
  std::function<void(const std::string&)> onLine;
  // Killed (SIGKILL) as soon as this many lines have come.
  std::optional<std::size_t> killAfterLines;
};

// Runs the built executable (or the one VELMORA_BRIDGE_UNDER_TEST names)
// with exactly `arguments` (the program path is added in front) and collects
// what it printed.
BridgeRun runBridge(const std::vector<std::string>& arguments, const RunOptions& options);

// The same, in a fresh TestHome with its environment.
BridgeRun runBridge(const std::vector<std::string>& arguments, const TestHome& home,
                    bool keepDisplay = false);

}  // namespace velmora::testing
