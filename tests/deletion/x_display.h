#pragma once
// A private X server for tests that show windows, so that windows of tests
// running side by side never meet, and tools to drive it.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace velmora::testing {

class XDisplay {
 public:
  // Starts Xvfb; `name()` stays empty when it cannot start (not installed,
  // no sockets), and such tests skip themselves.
  XDisplay();
  ~XDisplay();
  XDisplay(const XDisplay&) = delete;
  XDisplay& operator=(const XDisplay&) = delete;

  const std::string& name() const { return name_; }  // ":N"

  // Runs xdotool with `arguments` on this display; its standard output, or
  // no value when it failed.
  std::optional<std::string> xdotool(const std::vector<std::string>& arguments) const;

  // Waits up to `seconds` for a visible window with this exact title; its id.
  std::optional<std::string> waitForWindow(const std::string& title, double seconds) const;

 private:
  pid_t server_ = -1;
  std::string name_;
};

}  // namespace velmora::testing
