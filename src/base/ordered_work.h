#pragma once
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace velmora::base {

// Processors the system has online; at least 1.
unsigned onlineProcessors();

// The hooks of one ordered job over items 0 .. count-1.
//   taken(index): runs when a worker takes the item, under the job's lock, so
//     what it writes keeps item order and comes before the item's work.
//   work(worker, index): the item's work, on worker `worker` (0 .. workers-1);
//     items run at the same time on different workers.
//   done(index, result): gets the results strictly in item order, under the
//     job's lock. Returning false ends the job after that item: nothing more
//     is taken and no later result is handed over.
template <typename Result>
struct OrderedJob {
  std::function<void(std::size_t)> taken = [](std::size_t) {};
  // Asked under the job's lock before an item is taken; while it says no,
  // workers wait for the next hand-over. When it says no with nothing left in
  // hand, the job ends there.
  std::function<bool(std::size_t)> mayTake = [](std::size_t) { return true; };
  std::function<Result(unsigned, std::size_t)> work;
  std::function<bool(std::size_t, Result&&)> done;
  // How far taking may run ahead of handing over (0: no bound beyond the
  // number of workers). Bounds the work thrown away after an early end and
  // the results held at once.
  std::size_t lookAhead = 0;
};

// Runs the job on up to `workers` threads (the calling thread alone when one
// is enough) and returns when every taken item is finished. The hooks see
// what a plain loop over the items would show them, in the same order. An
// exception from a hook ends the job where that loop would have met it: the
// items before it are still handed over, later ones are not, and the earliest
// such exception is rethrown here; one that comes after an early end is never
// seen, as in the loop.
template <typename Result>
void runInOrder(std::size_t count, unsigned workers, const OrderedJob<Result>& job) {
  using Outcome = std::variant<Result, std::exception_ptr>;
  std::mutex mutex;
  std::condition_variable handedOver;
  std::size_t next = 0;      // the next item to take
  std::size_t nextDone = 0;  // the next item to hand over
  std::size_t takeLimit = count;
  bool ended = false;
  std::exception_ptr failure;
  std::map<std::size_t, Outcome> finished;

  // Under the lock: hands over what is ready, in order.
  const auto handOver = [&] {
    while (!ended) {
      auto ready = finished.find(nextDone);
      if (ready == finished.end()) break;
      Outcome outcome = std::move(ready->second);
      finished.erase(ready);
      const std::size_t index = nextDone++;
      if (auto* error = std::get_if<std::exception_ptr>(&outcome)) {
        failure = *error;
        ended = true;
        break;
      }
      try {
        if (!job.done(index, std::move(std::get<Result>(outcome)))) ended = true;
      } catch (...) {
        failure = std::current_exception();
        ended = true;
      }
    }
    if (ended) finished.clear();
    handedOver.notify_all();
  };

  const auto worker = [&](unsigned self) {
    std::unique_lock lock(mutex);
    for (;;) {
      if (ended || next >= takeLimit) return;
      if ((job.lookAhead > 0 && next - nextDone >= job.lookAhead) || !job.mayTake(next)) {
        if (next == nextDone) return;
        handedOver.wait(lock);
        continue;
      }
      const std::size_t index = next++;
      std::optional<Outcome> outcome;
      try {
        job.taken(index);
      } catch (...) {
        outcome.emplace(std::current_exception());
      }
      if (!outcome) {
        lock.unlock();
        try {
          outcome.emplace(std::in_place_index<0>, job.work(self, index));
        } catch (...) {
          outcome.emplace(std::current_exception());
        }
        lock.lock();
      }
      // Nothing after a failed item is needed.
      if (outcome->index() == 1 && index < takeLimit) takeLimit = index + 1;
      if (!ended) finished.emplace(index, std::move(*outcome));
      handOver();
    }
  };

  const std::size_t threads = std::min<std::size_t>(std::max(workers, 1U), count);
  if (threads <= 1) {
    worker(0);
  } else {
    std::vector<std::jthread> pool;
    pool.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) pool.emplace_back(worker, static_cast<unsigned>(i));
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace velmora::base
