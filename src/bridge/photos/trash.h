#pragma once
#include <filesystem>
#include <vector>

#include "bridge/photos/library.h"

namespace velmora::photos {

// Moves every file to the freedesktop.org Trash as one change: when any move
// fails, the files already moved are put back where they were and the
// result carries the failure's description.
ChangeResult trashFiles(const std::vector<std::filesystem::path>& files);

}  // namespace velmora::photos
