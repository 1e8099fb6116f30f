#pragma once
// Keeps SIGTERM, SIGINT and SIGHUP from ending the process in the middle of
// work that must not stop half way (a change of the user's files).
namespace velmora::base {

// While one lives, the three signals are only recorded, on whichever thread
// they arrive. When it goes, the earlier handling comes back and a recorded
// signal is raised again, so the process then ends as it was asked to.
// Holds do not nest; make one at a time.
class TerminationHold {
 public:
  TerminationHold();
  ~TerminationHold();
  TerminationHold(const TerminationHold&) = delete;
  TerminationHold& operator=(const TerminationHold&) = delete;

  // The signal that arrived while held, or 0.
  static int pending();
};

}  // namespace velmora::base
