#pragma once
#include <filesystem>
#include <vector>

#include "bridge/photos/library.h"

namespace velmora::photos {

// Moves every file to the freedesktop.org Trash as one change: when any move
// fails, the files already moved are put back where they were and the
// result carries the failure's description.
//
// A file goes to the home trash ($XDG_DATA_HOME/Trash) when it lives on the
// same file system, else to its volume's trash ($topdir/.Trash/$uid or
// $topdir/.Trash-$uid). Files are only ever renamed, never copied, and never
// replace anything: a symlink is moved as the link. The same path named twice
// is moved once. An empty list succeeds without touching anything.
ChangeResult trashFiles(const std::vector<std::filesystem::path>& files);

}  // namespace velmora::photos
