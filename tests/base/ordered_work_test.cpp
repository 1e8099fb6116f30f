#include "base/ordered_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <stdexcept>
#include <string>

namespace velmora::base {
namespace {

using namespace std::chrono_literals;

// A short, different pause per item, so that items finish out of order.
void jitter(std::size_t index) {
  std::this_thread::sleep_for(std::chrono::microseconds((index * 7919) % 3000));
}

struct Trace {
  std::mutex mutex;
  std::vector<std::string> events;
  void add(const std::string& event) {
    const std::lock_guard lock(mutex);
    events.push_back(event);
  }
};

TEST(OrderedWork, HooksSeeItemsInOrderWhateverTheWorkers) {
  for (const unsigned workers : {1U, 2U, 5U}) {
    for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{37}}) {
      Trace trace;
      std::vector<std::size_t> taken;
      std::vector<std::size_t> handed;
      std::atomic<unsigned> busiest{0};
      std::atomic<unsigned> busy{0};
      OrderedJob<std::size_t> job;
      job.taken = [&](std::size_t index) {
        taken.push_back(index);
        trace.add("take " + std::to_string(index));
      };
      job.work = [&](unsigned worker, std::size_t index) {
        EXPECT_LT(worker, workers);
        trace.add("work " + std::to_string(index));
        busiest = std::max(busiest.load(), ++busy);
        jitter(index);
        --busy;
        return index * 10;
      };
      job.done = [&](std::size_t index, std::size_t&& result) {
        EXPECT_EQ(result, index * 10);
        handed.push_back(index);
        return true;
      };
      runInOrder(count, workers, job);

      std::vector<std::size_t> all(count);
      for (std::size_t i = 0; i < count; ++i) all[i] = i;
      EXPECT_EQ(taken, all) << workers << " workers";
      EXPECT_EQ(handed, all) << workers << " workers";
      EXPECT_LE(busiest.load(), workers);
      // Every item is announced before its work begins.
      for (std::size_t i = 0; i < count; ++i) {
        const auto at = [&](const std::string& event) {
          return std::find(trace.events.begin(), trace.events.end(), event) - trace.events.begin();
        };
        EXPECT_LT(at("take " + std::to_string(i)), at("work " + std::to_string(i)));
      }
      if (workers > 1 && count > 1) {
        EXPECT_GT(busiest.load(), 1U) << "nothing ran side by side";
      }
    }
  }
}

TEST(OrderedWork, EndsWhereAPlainLoopWould) {
  struct Case {
    const char* what;
    std::size_t stopAt;             // done returns false here (npos: never)
    std::vector<std::size_t> fail;  // work throws for these items
    std::size_t handedOver;         // items done() sees
    std::string error;              // what is rethrown, empty for nothing
  };
  constexpr std::size_t never = std::string::npos;
  const Case cases[] = {
      {"done says stop", 4, {}, 5, ""},
      {"a failure ends the job after the items before it", never, {9}, 9, "9"},
      {"the earliest failure wins, even when a later one comes first", never, {6, 7, 12}, 6, "6"},
      {"a failure after the stop is never seen", 3, {5, 8}, 4, ""},
      {"the first item fails", never, {0}, 0, "0"},
  };
  for (const Case& c : cases) {
    for (const unsigned workers : {1U, 3U}) {
      std::vector<std::size_t> handed;
      OrderedJob<int> job;
      job.work = [&](unsigned, std::size_t index) {
        const bool fails = std::find(c.fail.begin(), c.fail.end(), index) != c.fail.end();
        // The later failures come quickly, the earliest one late.
        if (!fails || index == c.fail.front()) jitter(index + 40);
        if (fails) throw std::runtime_error(std::to_string(index));
        return 1;
      };
      job.done = [&](std::size_t index, int&&) {
        handed.push_back(index);
        return index != c.stopAt;
      };
      std::string error;
      try {
        runInOrder(20, workers, job);
      } catch (const std::runtime_error& failure) {
        error = failure.what();
      }
      EXPECT_EQ(handed.size(), c.handedOver) << c.what << ", " << workers << " workers";
      for (std::size_t i = 0; i < handed.size(); ++i) EXPECT_EQ(handed[i], i) << c.what;
      EXPECT_EQ(error, c.error) << c.what << ", " << workers << " workers";
    }
  }
}

TEST(OrderedWork, TakingStaysWithinTheLookAheadAndWhatMayBeTaken) {
  std::size_t taken = 0;
  std::size_t handed = 0;
  std::size_t furthest = 0;
  OrderedJob<int> job;
  job.lookAhead = 3;
  job.taken = [&](std::size_t) {
    ++taken;
    furthest = std::max(furthest, taken - handed);
  };
  job.work = [](unsigned, std::size_t index) {
    jitter(index);
    return 0;
  };
  job.done = [&](std::size_t, int&&) {
    ++handed;
    return true;
  };
  runInOrder(30, 4, job);
  EXPECT_EQ(handed, 30u);
  EXPECT_LE(furthest, 3u);

  // Nothing past the third item until an item has said so; a job whose
  // items may never be taken ends instead of waiting.
  for (const bool opens : {true, false}) {
    bool open = false;
    std::vector<std::size_t> seen;
    OrderedJob<int> gated;
    gated.mayTake = [&](std::size_t index) { return open || index < 3; };
    gated.taken = [&](std::size_t index) {
      if (index >= 3) {
        EXPECT_TRUE(open);
      }
    };
    gated.work = [](unsigned, std::size_t index) {
      jitter(index);
      return 0;
    };
    gated.done = [&](std::size_t index, int&&) {
      seen.push_back(index);
      if (opens && index == 2) open = true;
      return true;
    };
    runInOrder(10, 4, gated);
    EXPECT_EQ(seen.size(), opens ? 10u : 3u);
  }
}

}  // namespace
}  // namespace velmora::base
