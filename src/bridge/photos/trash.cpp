#include "bridge/photos/trash.h"

namespace velmora::photos {

// Moving to the Trash arrives with deletion; until then nothing is touched.
ChangeResult trashFiles(const std::vector<std::filesystem::path>&) { return {}; }

}  // namespace velmora::photos
