#pragma once
#include <functional>

namespace velmora::bridge {

// The thread that runs the main loop in application mode. An action running
// on the worker hands it work (the confirmation alert) and waits.
class MainThread {
 public:
  virtual ~MainThread() = default;
  // Runs `task` on the main thread and returns once it has finished. Must
  // not be called from the main thread itself.
  virtual void runAndWait(const std::function<void()>& task) = 0;
  // Whether a display was opened, so that windows can be shown at all.
  virtual bool hasDisplay() const = 0;
};

}  // namespace velmora::bridge
