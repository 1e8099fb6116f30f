#pragma once
#include <filesystem>
#include <optional>

namespace velmora::photos {

// The user's pictures folder by the XDG user-dirs convention:
// XDG_PICTURES_DIR in $XDG_CONFIG_HOME/user-dirs.dirs (default
// ~/.config/user-dirs.dirs), else $HOME/Pictures. No value when the
// configured folder is the home folder itself or no home is known.
std::optional<std::filesystem::path> picturesFolder();

// Full access: the folder exists, is a directory, and this process may
// read, write and enter it.
bool folderGrantsFullAccess(const std::filesystem::path& folder);

}  // namespace velmora::photos
