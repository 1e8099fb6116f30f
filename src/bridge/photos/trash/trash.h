#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/file_identity.h"
#include "bridge/photos/trash/change_result.h"

namespace velmora::photos {

// One file to move: its name inside a folder that the caller opened (and
// keeps open) while resolving it. The move goes through that descriptor, so
// a folder of the path swapped for a symlink afterwards leads nowhere.
struct TrashItem {
  int folder = -1;
  std::string relativeFolder;  // of that folder below the library root: "" or "a/b/"
  std::string name;
  // What the file was when it was checked (identityAt): right before the
  // first move, any file that is no longer exactly that refuses the whole
  // change. No value: the file as the change finds it.
  std::optional<base::FileIdentity> expected;
};

// One change of the library: files moved to the freedesktop.org Trash, all
// or nothing.
//
// Creating it takes the change lock (another bridge's change is waited for,
// up to changeLockWait; past that every move is refused) and first finishes
// a change that a killed bridge left half done. A file
// goes to the home trash ($XDG_DATA_HOME/Trash) when it lives on the same
// mount, else to its mount's trash ($topdir/.Trash/$uid or
// $topdir/.Trash-$uid). Before the first move a journal naming every move
// is written and flushed to disk; SIGTERM, SIGINT and SIGHUP are held until
// the change is complete or put back. Files are only ever renamed, never
// copied, and never replace anything: a symlink is moved as the link. The
// same file named twice is moved once.
class TrashChange {
 public:
  explicit TrashChange(int libraryRoot);
  ~TrashChange();
  TrashChange(const TrashChange&) = delete;
  TrashChange& operator=(const TrashChange&) = delete;

  // Whether another bridge's change kept the lock past the wait: then
  // nothing moves.
  bool lockTimedOut() const;

  // Moves every item. When any move fails, the files already moved are put
  // back and the result carries the failure's description. A file that is
  // no longer what it was (`expected`, else what the plan found) moves
  // nothing, with `selectionChanged`. An empty list succeeds without
  // touching anything.
  ChangeResult moveAll(const std::vector<TrashItem>& items);

 private:
  int root_;
  int lock_;
  int lockError_ = 0;
};

// Puts back what a change interrupted by a kill or a power loss had moved,
// as its journal says, and removes the journal. Acts only on what it can
// verify: a folder below `libraryRoot` reached without symlinks, the trash
// that a change would use for it now, a trash entry whose info file names
// that very place, and in it the very file that was moved (device, inode,
// size, modification time). Does nothing when there is no journal, and
// leaves the journal for a later run when another bridge's change holds the
// lock for more than a moment.
void finishInterruptedChange(int libraryRoot);

// The same change for files named by path (tests and benchmarks): each
// file's folder is opened as the kernel resolves the path, with "/" as the
// root.
ChangeResult trashFiles(const std::vector<std::filesystem::path>& files);

}  // namespace velmora::photos
