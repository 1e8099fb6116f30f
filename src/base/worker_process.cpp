#include "base/worker_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/regular_file.h"

extern char** environ;

namespace velmora::base {

namespace {

using Clock = std::chrono::steady_clock;

// A frame is its length (eight bytes, this machine's order: both ends are
// the same executable) and then its bytes. A descriptor travels with the
// length.
using Length = std::uint64_t;

bool waitFor(int fd, short events, const std::optional<Clock::time_point>& end) {
  for (;;) {
    int timeout = -1;
    if (end) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*end - Clock::now());
      if (left.count() <= 0) return false;
      timeout = static_cast<int>(std::min<std::int64_t>(left.count(), 1 << 30));
    }
    struct pollfd watched {fd, events, 0};
    const int ready = ::poll(&watched, 1, timeout);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

bool sendAll(int channel, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(channel, data, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool sendFrame(int channel, std::string_view payload, int fd) {
  const Length length = payload.size();
  struct iovec part {const_cast<Length*>(&length), sizeof length};
  struct msghdr message {};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (fd >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    struct cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
  }
  ssize_t sent = 0;
  do {
    sent = ::sendmsg(channel, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return false;
  const auto* rest = reinterpret_cast<const char*>(&length) + sent;
  return sendAll(channel, rest, sizeof length - static_cast<std::size_t>(sent)) &&
         sendAll(channel, payload.data(), payload.size());
}

bool receiveAll(int channel, char* data, std::size_t size,
                const std::optional<Clock::time_point>& end) {
  while (size > 0) {
    if (end && !waitFor(channel, POLLIN, end)) return false;
    const ssize_t got = ::recv(channel, data, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

// One frame; with `fd`, the descriptor that came with it (else -1; any
// descriptor that came unasked is closed). False at the end of the channel,
// past `end`, or on a frame longer than `limit`.
bool receiveFrame(int channel, std::string& out, int* fd, std::size_t limit,
                  const std::optional<Clock::time_point>& end) {
  if (fd != nullptr) *fd = -1;
  if (end && !waitFor(channel, POLLIN, end)) return false;
  Length length = 0;
  struct iovec part {&length, sizeof length};
  struct msghdr message {};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t got = 0;
  do {
    got = ::recvmsg(channel, &message, MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return false;
  for (struct cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
    int passed = -1;
    std::memcpy(&passed, CMSG_DATA(header), sizeof passed);
    if (fd != nullptr && *fd < 0) {
      *fd = passed;
    } else {
      ::close(passed);
    }
  }
  const bool whole = (message.msg_flags & MSG_CTRUNC) == 0 &&
                     receiveAll(channel, reinterpret_cast<char*>(&length) + got,
                                sizeof length - static_cast<std::size_t>(got), end) &&
                     length <= limit;
  if (whole) {
    out.resize(static_cast<std::size_t>(length));
    if (receiveAll(channel, out.data(), out.size(), end)) return true;
  }
  if (fd != nullptr && *fd >= 0) {
    ::close(*fd);
    *fd = -1;
  }
  return false;
}

bool isChannel(int fd) {
  int type = 0, domain = 0;
  socklen_t size = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM) {
    return false;
  }
  size = sizeof domain;
  if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0 || domain != AF_UNIX) {
    return false;
  }
  struct sockaddr_storage peer {};
  socklen_t peerSize = sizeof peer;
  return ::getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &peerSize) == 0;
}

}  // namespace

std::optional<std::string> workerRole() {
  const char* role = std::getenv(workerRoleVariable);
  if (role == nullptr) return std::nullopt;
  std::string name(role);
  if (name.empty() || !isChannel(workerChannelFd)) {
    ::unsetenv(workerRoleVariable);
    return std::nullopt;
  }
  return name;
}

int serveRequests(const RequestHandler& handle, const std::function<void()>& between) {
  // A bridge that is gone (killed while this worker was busy with a file)
  // must not leave the worker running: a watcher ends it when the channel's
  // other end closes, whatever the main thread is doing.
  std::thread([] {
    struct pollfd watched {workerChannelFd, POLLRDHUP, 0};
    for (;;) {
      if (::poll(&watched, 1, -1) > 0 &&
          (watched.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0) {
        ::_exit(0);
      }
    }
  }).detach();
  for (;;) {
    std::string request;
    int fd = -1;
    if (!receiveFrame(workerChannelFd, request, &fd, maxAnswerBytes, std::nullopt)) return 0;
    const std::string answer = handle(request, fd);
    if (fd >= 0) ::close(fd);
    if (!sendFrame(workerChannelFd, answer, -1)) return 0;
    if (between) between();
  }
}

struct WorkerPool::Worker {
  pid_t pid = -1;
  int channel = -1;
  std::size_t served = 0;

  ~Worker() {
    if (channel >= 0) ::close(channel);
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }
};

WorkerPool::WorkerPool(std::string role, std::size_t requestsPerWorker)
    : role_(std::move(role)), requestsPerWorker_(requestsPerWorker) {}

WorkerPool::~WorkerPool() = default;

std::size_t WorkerPool::started() const {
  const std::lock_guard lock(mutex_);
  return started_;
}

std::unique_ptr<WorkerPool::Worker> WorkerPool::take() {
  {
    const std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      std::unique_ptr<Worker> worker = std::move(idle_.back());
      idle_.pop_back();
      return worker;
    }
    ++started_;
  }
  int ends[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return nullptr;
  const UniqueFd ours(ends[0]);
  // Above the three standard descriptors and the channel's place, so that
  // the move to the channel's place never meets itself.
  const UniqueFd theirs(::fcntl(ends[1], F_DUPFD_CLOEXEC, workerChannelFd + 1));
  ::close(ends[1]);
  const UniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!theirs.valid() || !devNull.valid()) return nullptr;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  // Standard output carries the bridge's lines: never the worker's. The
  // sanitizer build keeps standard error, so that the sanitizers' reports
  // from workers show in tests as the bridge's own do.
  posix_spawn_file_actions_adddup2(&actions, devNull.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, devNull.get(), STDOUT_FILENO);
#ifndef VELMORA_SANITIZED
  posix_spawn_file_actions_adddup2(&actions, devNull.get(), STDERR_FILENO);
#endif
  posix_spawn_file_actions_adddup2(&actions, theirs.get(), workerChannelFd);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  const std::string marker = std::string(workerRoleVariable) + "=" + role_;
  std::vector<char*> environment;
  const std::string prefix = std::string(workerRoleVariable) + "=";
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0) environment.push_back(*entry);
  }
  environment.push_back(const_cast<char*>(marker.c_str()));
  environment.push_back(nullptr);
  char name[] = "velmora-worker";
  char* arguments[] = {name, nullptr};
  pid_t pid = -1;
  const int status = posix_spawn(&pid, "/proc/self/exe", &actions, &attributes, arguments,
                                 environment.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (status != 0) return nullptr;
  auto worker = std::make_unique<Worker>();
  worker->pid = pid;
  worker->channel = ::fcntl(ours.get(), F_DUPFD_CLOEXEC, 0);
  return worker->channel >= 0 ? std::move(worker) : nullptr;
}

void WorkerPool::giveBack(std::unique_ptr<Worker> worker) {
  const std::lock_guard lock(mutex_);
  idle_.push_back(std::move(worker));
}

std::optional<std::string> WorkerPool::ask(std::string_view request, int fd,
                                           Clock::duration limit) {
  std::unique_ptr<Worker> worker = take();
  if (!worker) return std::nullopt;
  const Clock::time_point end = Clock::now() + limit;
  std::string answer;
  if (!sendFrame(worker->channel, request, fd) ||
      !receiveFrame(worker->channel, answer, nullptr, maxAnswerBytes, end)) {
    return std::nullopt;  // the worker goes with `worker`
  }
  if (++worker->served < requestsPerWorker_) giveBack(std::move(worker));
  return answer;
}

}  // namespace velmora::base
