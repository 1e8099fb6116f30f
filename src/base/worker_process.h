#pragma once
// Worker processes that parse untrusted bytes on the bridge's behalf. The
// bridge starts them once per run (the same executable, started again with
// an inherited socket), hands each request over with the descriptor of the
// file to read, and waits for the answer no longer than the request's time
// limit. A worker that dies, overruns or answers nonsense is ended and
// replaced; the request that was in hand gets no answer, and nothing else
// is lost. Requests and answers are plain bytes; what they mean is the
// caller's business.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::base {

// The descriptor a worker finds its channel on, and the variable that names
// its role. Nothing on the command line reaches the role: a worker is only
// a process started with both, by its bridge.
inline constexpr int workerChannelFd = 3;
inline constexpr const char* workerRoleVariable = "VELMORA_WORKER_ROLE";

// The role this process was started in, when it was started as a worker
// (the variable is set and the channel is a connected local socket);
// else none. A process that is no worker also forgets the variable, so
// that nothing it starts takes it for one.
std::optional<std::string> workerRole();

// What a worker does with one request: the request's bytes and the
// descriptor that came with it (-1 if none; the handler closes nothing).
// The answer is sent back as it is.
using RequestHandler = std::function<std::string(std::string_view request, int fd)>;

// Serves requests on the channel until the bridge closes it; the exit
// status of the worker. Runs on the worker's main thread; `between`, when
// given, runs after each answer has gone.
int serveRequests(const RequestHandler& handle, const std::function<void()>& between = {});

// The largest answer a bridge accepts; a worker that claims more is ended.
inline constexpr std::size_t maxAnswerBytes = std::size_t{256} << 20;

// The bridge's side: workers in one role, started as they are needed (one
// per caller waiting at the same time) and reused.
class WorkerPool {
 public:
  // `role` is what the worker's `workerRole()` returns. `requestsPerWorker`
  // bounds how long one worker lives (a leak in a library, the CPU limit).
  explicit WorkerPool(std::string role, std::size_t requestsPerWorker = 2000);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Sends `request` and a copy of `fd` (when not -1) to an idle worker and
  // waits up to `limit` for its answer. No value when no worker could be
  // started, or the worker died, overran or broke the protocol; that worker
  // is then ended, and the next request gets a new one. Safe to call from
  // any number of threads at once.
  std::optional<std::string> ask(std::string_view request, int fd,
                                 std::chrono::steady_clock::duration limit);

  // Workers started so far in this pool (for tests and benchmarks).
  std::size_t started() const;

 private:
  struct Worker;
  std::unique_ptr<Worker> take();
  void giveBack(std::unique_ptr<Worker> worker);

  std::string role_;
  std::size_t requestsPerWorker_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Worker>> idle_;
  std::size_t started_ = 0;
};

}  // namespace velmora::base
