#include "bridge/worker_mode.h"

#include "base/worker_process.h"
#include "bridge/photos/isolated.h"

namespace velmora::bridge {

std::optional<int> runWorkerIfStartedAsOne() {
  const std::optional<std::string> role = base::workerRole();
  if (!role) return std::nullopt;
  if (*role == photos::photoWorkerRole) return photos::runPhotoWorker();
  return 1;
}

}  // namespace velmora::bridge
