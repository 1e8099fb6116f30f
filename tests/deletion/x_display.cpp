#include "deletion/x_display.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

namespace velmora::testing {

namespace {

// Runs `argv` with DISPLAY set, collecting standard output; no value unless
// it exits with status 0.
std::optional<std::string> runTool(const std::vector<std::string>& argv,
                                   const std::string& display) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(out[0]);
    ::close(out[1]);
    return std::nullopt;
  }
  if (child == 0) {
    ::setenv("DISPLAY", display.c_str(), 1);
    const int devNull = ::open("/dev/null", O_RDWR);
    ::dup2(devNull, STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(devNull, STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(out[0], buffer, sizeof buffer);
    if (got > 0) {
      text.append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

XDisplay::XDisplay() {
  int ready[2];
  if (::pipe(ready) != 0) return;
  server_ = ::fork();
  if (server_ == 0) {
    // The server goes with the test process, however that ends.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int devNull = ::open("/dev/null", O_RDWR);
    ::dup2(devNull, STDIN_FILENO);
    ::dup2(devNull, STDOUT_FILENO);
    ::dup2(devNull, STDERR_FILENO);
    const std::string fd = std::to_string(ready[1]);
    ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten",
             "tcp", "-noreset", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(ready[1]);
  if (server_ < 0) {
    ::close(ready[0]);
    return;
  }
  // Xvfb writes its display number once it accepts clients.
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd poll{ready[0], POLLIN, 0};
    if (::poll(&poll, 1, 200) <= 0) continue;
    char c = 0;
    if (::read(ready[0], &c, 1) != 1) break;
    if (c == '\n') {
      name_ = ":" + number;
      break;
    }
    number.push_back(c);
  }
  ::close(ready[0]);
  if (name_.empty()) {
    ::kill(server_, SIGKILL);
    ::waitpid(server_, nullptr, 0);
    server_ = -1;
  }
}

XDisplay::~XDisplay() {
  if (server_ > 0) {
    ::kill(server_, SIGTERM);
    ::waitpid(server_, nullptr, 0);
  }
}

std::optional<std::string> XDisplay::xdotool(const std::vector<std::string>& arguments) const {
  std::vector<std::string> argv{"xdotool"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runTool(argv, name_);
}

std::optional<std::string> XDisplay::waitForWindow(const std::string& title, double seconds) const {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  while (std::chrono::steady_clock::now() < deadline) {
    if (std::optional<std::string> found =
            xdotool({"search", "--onlyvisible", "--name", "^" + title + "$"})) {
      if (!found->empty()) return found->substr(0, found->find('\n'));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return std::nullopt;
}

}  // namespace velmora::testing
