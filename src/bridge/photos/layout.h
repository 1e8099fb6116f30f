#pragma once
// How the files of one folder form assets: by extension and stem, the way
// camera and phone exports lay them out. Pure name logic; nothing here
// touches the disk.
#include <string>
#include <string_view>
#include <vector>

#include "bridge/photos/media/file_kind.h"

namespace velmora::photos {

struct ResourceLayout {
  long type = 0;
  std::string name;
};

struct AssetLayout {
  int mediaType = 0;
  std::vector<ResourceLayout> resources;  // primary first
  // Files of the folder read for the asset's attributes that are no part of
  // it: the original's Takeout JSON that an edited copy reads.
  std::vector<std::string> readOnly;
};

// Groups the names of one folder's files (hidden names already left out)
// into assets, whatever order the names come in. Per stem (case-sensitive):
// the first still by name is the primary photo, with the first video as its
// paired video, the first RAW as its alternate photo and the stem's `.AAE` /
// `.xmp` sidecars; without a still the first RAW, else the first video is
// the primary. Further stills, RAWs and videos of the stem are assets of
// their own. `name.ext.xmp` belongs to the asset that holds `name.ext`;
// Takeout's JSON sidecars and a camera's companions belong to the asset
// that holds the file they describe (catalogs/companion_names.h says which).
// Sidecars and companions without an asset, and other files, are no asset. The result is
// sorted by primary name; resources are primary, alternate photo, paired
// video, then sidecars by name.
std::vector<AssetLayout> groupFolder(std::vector<std::string> names);

}  // namespace velmora::photos
