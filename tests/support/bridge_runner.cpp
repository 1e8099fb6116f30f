#include "support/bridge_runner.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velmora::testing {

namespace fs = std::filesystem;

TestHome::TestHome(bool createPictures) : home_(dir_.path() / "home") {
  fs::create_directories(home_ / ".config");
  fs::create_directories(home_ / ".local" / "share");
  fs::create_directories(dir_.path() / "scratch");
  if (createPictures) fs::create_directories(pictures());
}

std::map<std::string, std::string> TestHome::environment() const {
  std::map<std::string, std::string> env;
  env["HOME"] = home_.string();
  env["XDG_CONFIG_HOME"] = (home_ / ".config").string();
  env["XDG_DATA_HOME"] = (home_ / ".local" / "share").string();
  env["PATH"] = "/usr/local/bin:/usr/bin:/bin";
  env["LANG"] = "C.UTF-8";
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) env[name] = value;
  }
  return env;
}

namespace {

// The bridge as another user can run it: a checkout under a private folder
// (root's home, a mktemp folder) is out of that user's reach, so a copy is
// placed in a folder open to everyone, once per test process.
std::string reachableByEveryone(const std::string& executable) {
  static const TempDir folder;
  static std::map<std::string, std::string> copies;
  static std::mutex guard;
  const std::lock_guard<std::mutex> lock(guard);
  auto [entry, added] = copies.try_emplace(executable);
  if (added) {
    const std::filesystem::path copy = folder / std::to_string(copies.size());
    std::filesystem::copy_file(executable, copy);
    std::filesystem::permissions(folder.path(), std::filesystem::perms(0755));
    std::filesystem::permissions(copy, std::filesystem::perms(0755));
    entry->second = copy.string();
  }
  return entry->second;
}

}  // namespace

BridgeRun runBridge(const std::vector<std::string>& arguments, const RunOptions& options) {
  // VELMORA_BRIDGE_UNDER_TEST runs the end-to-end tests against another
  // build of the bridge (an older one, to see a test fail without its fix).
  const char* other = std::getenv("VELMORA_BRIDGE_UNDER_TEST");
  std::vector<std::string> argv{other != nullptr && *other != '\0' ? other : VELMORA_BRIDGE_EXE};
  if (options.runAs) argv.front() = reachableByEveryone(argv.front());
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::map<std::string, std::string> environment = options.environment;
  if (options.keepDisplay) {
    if (const char* display = std::getenv("DISPLAY")) environment["DISPLAY"] = display;
    if (const char* authority = std::getenv("XAUTHORITY")) environment["XAUTHORITY"] = authority;
  }
  std::vector<std::string> envStrings;
  for (const auto& [name, value] : environment) envStrings.push_back(name + "=" + value);

  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return {};

  const pid_t child = ::fork();
  if (child == 0) {
    std::vector<char*> cargv;
    for (auto& item : argv) cargv.push_back(item.data());
    cargv.push_back(nullptr);
    std::vector<char*> cenv;
    for (auto& item : envStrings) cenv.push_back(item.data());
    cenv.push_back(nullptr);
    const int devNull = ::open("/dev/null", O_RDONLY);
    ::dup2(devNull, STDIN_FILENO);
    ::dup2(outPipe[1], STDOUT_FILENO);
    ::dup2(errPipe[1], STDERR_FILENO);
    for (const int fd : options.closedDescriptors) ::close(fd);
    if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) {
      ::_exit(125);
    }
    if (options.runAs && (::setgroups(0, nullptr) != 0 || ::setgid(options.runAs->gid) != 0 ||
                          ::setuid(options.runAs->uid) != 0)) {
      ::_exit(126);
    }
    ::execve(cargv[0], cargv.data(), cenv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (options.started) options.started(child);
  if (options.closeStdoutEarly) {
    ::close(outPipe[0]);
    outPipe[0] = -1;
  }

  BridgeRun run;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long>(options.timeoutSeconds * 1000));
  std::string* sinks[2] = {&run.out, &run.err};
  std::size_t linesSeen = 0;  // where the next unreported line of run.out starts
  int fds[2] = {outPipe[0], errPipe[0]};
  while (fds[0] >= 0 || fds[1] >= 0) {
    pollfd polls[2];
    for (int i = 0; i < 2; ++i) polls[i] = pollfd{fds[i], POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timedOut = true;
      ::kill(child, SIGKILL);
      break;
    }
    const int ready = ::poll(polls, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0 || (polls[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[65536];
      const ssize_t got = ::read(fds[i], buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
        if (i == 0 && options.killAfterLines &&
            static_cast<std::size_t>(std::count(run.out.begin(), run.out.end(), '\n')) >=
                *options.killAfterLines) {
          ::kill(child, SIGKILL);
        }
        if (i == 0 && options.onLine) {
          for (std::size_t end = run.out.find('\n', linesSeen); end != std::string::npos;
               end = run.out.find('\n', linesSeen)) {
            options.onLine(run.out.substr(linesSeen, end - linesSeen));
            linesSeen = end + 1;
          }
        }
      } else if (got == 0 || errno != EINTR) {
        ::close(fds[i]);
        fds[i] = -1;
      }
    }
  }
  for (int fd : fds) {
    if (fd >= 0) ::close(fd);
  }
  int status = 0;
  struct rusage usage {};
  ::wait4(child, &status, 0, &usage);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  run.peakResidentKb = usage.ru_maxrss;

  std::istringstream lines(run.out);
  std::string line;
  while (std::getline(lines, line)) {
    try {
      nlohmann::json value = nlohmann::json::parse(line);
      if (!value.is_object()) run.allLinesParsed = false;
      run.lines.push_back(std::move(value));
    } catch (...) {
      run.allLinesParsed = false;
    }
  }
  if (!run.out.empty() && run.out.back() != '\n') run.allLinesParsed = false;
  return run;
}

BridgeRun runBridge(const std::vector<std::string>& arguments, const TestHome& home,
                    bool keepDisplay) {
  RunOptions options;
  options.environment = home.environment();
  options.keepDisplay = keepDisplay;
  return runBridge(arguments, options);
}

}  // namespace velmora::testing
