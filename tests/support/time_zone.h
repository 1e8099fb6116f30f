#pragma once
// This process's time zone set for a scope, as TZ names it ("UTC",
// "UTC-2" for two hours east of UTC), and put back afterwards. A worker
// process keeps the zone it started with (as a bridge keeps its own for a
// run), so meanwhile the library reads files in this process.
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "bridge/photos/isolated.h"

namespace velmora::testing {

class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
    photos::setReadsInWorkers(false);
  }
  ~ScopedTimeZone() {
    photos::setReadsInWorkers(true);
    if (old_) {
      ::setenv("TZ", old_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> old_;
};

}  // namespace velmora::testing
