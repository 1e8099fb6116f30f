#pragma once
// The journal of a change in progress, so that the next run of the bridge
// can put back what a killed one had moved. It lives in
// $XDG_DATA_HOME/velmora-bridge/ (by default ~/.local/share/velmora-bridge/),
// beside the lock that keeps two bridges from changing the library at once.
// Nothing in it is trusted: trash.cpp checks every entry against the disk
// before it acts on it.
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/file_identity.h"

namespace velmora::photos {

// $XDG_DATA_HOME when it is an absolute path, else ~/.local/share.
std::optional<std::filesystem::path> dataHome();

struct JournalMove {
  std::size_t trash = 0;       // index into Journal::trashes
  std::string relativeFolder;  // below the library root: "" or "a/b/"
  std::string name;            // in that folder
  std::string trashName;       // in the trash's files/ (and .trashinfo in info/)
  // The file that was moved, as it was before the move; `changed` is 0
  // (a rename moves the change time). Only that file is ever put back.
  base::FileIdentity identity;
};

struct Journal {
  std::string root;                 // the library folder's path
  std::vector<std::string> trashes;  // each trash folder's path
  std::vector<JournalMove> moves;
  bool complete = false;  // read back to its last line: written whole
};

// How long a change waits for another bridge's change to end.
inline constexpr std::chrono::milliseconds changeLockWait{10'000};

// Takes the change lock, waiting up to `wait` while another bridge holds
// it; a descriptor to close to let it go. -1 when the folder for it cannot
// be made (no journal can be written then either) or the wait ran out
// (errno EWOULDBLOCK). With `create` false, an absent folder is not made
// and -1 is returned: there is no journal then. The folder is narrowed to
// 0700, and a lock file that is not this user's is replaced.
int lockChanges(bool create = true, std::chrono::milliseconds wait = changeLockWait);

// Whether a journal lies in the folder (without taking the lock).
bool journalExists();

// Writes the journal and flushes it to disk. 0 or an errno value (EEXIST:
// an older journal is still there).
int writeJournal(const Journal& journal);

// The journal on disk; no value when there is none or it cannot be read.
// A journal that is not one of ours reads as an empty, incomplete one.
std::optional<Journal> readJournal();

// Removes the journal and flushes its folder.
void removeJournal();

// "%2F" and friends back to bytes; a '%' without two hex digits stays.
std::string percentDecoded(std::string_view text);

}  // namespace velmora::photos
