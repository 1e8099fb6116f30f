#include "base/sandbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "base/worker_process.h"

namespace velmora::base {
namespace {

// How a child that entered the sandbox and then ran `attempt` ended: the
// signal that ended it, else 1000 + its exit status.
int endOf(const std::function<int()>& attempt) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (!enterSandbox()) ::_exit(99);
    ::_exit(attempt());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFSIGNALED(status) ? WTERMSIG(status) : 1000 + WEXITSTATUS(status);
}

TEST(Sandbox, ForbiddenCallsEndTheProcessAndTheRestStillWork) {
  const struct {
    const char* what;
    std::function<int()> attempt;
    int end;
  } cases[] = {
      {"read what is open", [] { return ::close(::dup(0)) == 0 ? 0 : 1; }, 1000},
      {"a thread", [] {
         bool ran = false;
         std::thread([&] { ran = true; }).join();
         return ran ? 0 : 1;
       }, 1000},
      {"memory", [] { return std::vector<char>(64 << 20, 'x').back() == 'x' ? 0 : 1; }, 1000},
      {"a signal to itself", [] { return ::kill(::getpid(), 0); }, 1000},
      {"creating a file only fails", [] {
         const int fd = ::open("/tmp/velmora-sandbox-test", O_CREAT | O_WRONLY, 0600);
         return fd < 0 && errno == EACCES ? 0 : 1;
       }, 1000},
      {"opening a path", [] { return ::open("/etc/hostname", O_RDONLY); }, SIGSYS},
      {"opening a folder", [] { return ::open("/", O_RDONLY | O_DIRECTORY); }, SIGSYS},
      {"a socket", [] { return ::socket(AF_UNIX, SOCK_STREAM, 0); }, SIGSYS},
      {"a program", [] {
         char* const arguments[] = {nullptr};
         return ::execve("/bin/true", arguments, arguments);
       }, SIGSYS},
      {"a process", [] { return static_cast<int>(::fork()); }, SIGSYS},
      {"a signal to another process", [] { return ::kill(::getppid(), 0); }, SIGSYS},
      {"raising a limit", [] {
         const struct rlimit unlimited {RLIM_INFINITY, RLIM_INFINITY};
         return ::setrlimit(RLIMIT_AS, &unlimited);
       }, SIGSYS},
#ifndef VELMORA_SANITIZED  // (which sets no address-space limit)
      {"more address space than the limit", [] {
         return std::malloc(std::size_t{3} << 30) == nullptr ? 7 : 0;
       }, 1007},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(endOf(c.attempt), c.end);
  }
}

// A worker that cannot start (here: a role nobody serves) costs the request
// in hand, never a wait, and the next request starts a new one.
TEST(WorkerPool, AWorkerThatEndsAtOnceCostsOnlyTheRequest) {
  WorkerPool pool("no-such-role");
  EXPECT_FALSE(pool.ask("anything", -1, std::chrono::seconds(100)).has_value());
  EXPECT_FALSE(pool.ask("anything", -1, std::chrono::seconds(100)).has_value());
  EXPECT_EQ(pool.started(), 2u);
}

}  // namespace
}  // namespace velmora::base
