#include "base/deadline.h"

#include <atomic>

namespace velmora::base {

namespace {

std::atomic<Clock::rep> limitTicks{
    std::chrono::duration_cast<Clock::duration>(defaultFileTimeLimit).count()};

}  // namespace

Clock::duration fileTimeLimit() { return Clock::duration(limitTicks.load()); }

void setFileTimeLimit(Clock::duration limit) { limitTicks.store(limit.count()); }

Deadline::Deadline() : Deadline(fileTimeLimit()) {}

Deadline::Deadline(Clock::duration limit) : end_(Clock::now() + limit) {}

}  // namespace velmora::base
