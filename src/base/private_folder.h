#pragma once
// The folder where what the bridge keeps between runs lives, and opening
// such a folder so that only this user can see into it.
#include <filesystem>
#include <optional>

namespace velmora::base {

// ${XDG_CACHE_HOME:-$HOME/.cache}/velmora-bridge; a relative XDG_CACHE_HOME
// is ignored, as the XDG base directory rules ask. No value without a home.
std::optional<std::filesystem::path> bridgeCacheFolder();

// ${XDG_DATA_HOME:-$HOME/.local/share}/velmora-bridge: what must outlive a
// cache clean-up (the change journal and its lock, the record of the
// previews a scan wrote). The same rules as for the cache folder.
std::optional<std::filesystem::path> bridgeDataFolder();

// A descriptor (close-on-exec; the caller closes it) on `folder` as a
// private folder of this user: made with mode 0700 when missing (missing
// parents too), narrowed to 0700 when it grants more. -1 when it is a
// symlink, no folder, another user's, or cannot be made. Symlinks above
// it are followed: a user may keep the cache on another disk. With
// `create` false a missing folder is not made (-1, errno ENOENT).
int openPrivateFolder(const std::filesystem::path& folder, bool create = true);

}  // namespace velmora::base
