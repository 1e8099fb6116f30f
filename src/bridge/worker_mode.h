#pragma once
#include <optional>

namespace velmora::bridge {

// When this process was started by a bridge as one of its workers (an
// inherited channel and the role in the environment, never an argument),
// serves that role and gives its exit status; else no value, and the
// process goes on as a bridge.
std::optional<int> runWorkerIfStartedAsOne();

}  // namespace velmora::bridge
