#pragma once
// Files that other programs and cameras write beside a photo or video and
// that belong to it: Google Takeout's JSON sidecars and the companions
// cameras record with a video (thumbnails, low-resolution copies, clip
// metadata). Pure name logic over one folder; nothing here touches the disk.
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::photos {

// Whether a file of this name could be a companion (`.json`, `.THM`,
// `.LRV`, `.LRF`, `.XML`, `.SRT` in any case). Such files are listed with a
// folder so that the grouping can claim them; unclaimed, they are nothing.
bool mayBeCompanion(std::string_view name);

// The uniform type identifier of a companion by its extension; empty for
// other names.
std::string companionTypeIdentifier(std::string_view name);

struct CompanionClaims {
  // companion name -> the media file it belongs to (and is deleted with)
  std::map<std::string, std::string, std::less<>> owner;
  // media file -> Takeout JSON files it reads without owning them: an
  // edited copy (`IMG-edited.jpg`) reads its original's JSON.
  std::map<std::string, std::vector<std::string>, std::less<>> readOnly;
};

// Claims the companions among `candidates` (names for which mayBeCompanion
// holds) for the media files of the same folder. `media` holds every still,
// RAW and video name of the folder, `videos` the videos among them.
//
// A Takeout JSON belongs to the one media file whose name it fits:
// `<name>.json`, `<name>.<any prefix of "supplemental-metadata">.json`,
// a numbered copy `IMG(1).jpg` with `IMG.jpg(1).json` or
// `IMG.jpg.supplemental-metadata(1).json`, or a name clipped to 46 to 51
// characters before `.json` (and before a copy's number). A JSON that fits
// no media file, or more than one, belongs to none.
//
// A camera companion belongs to the one video it fits: `X.THM`, `X.LRV` and
// `X.LRF` beside `X.<video>`; GoPro's `GLxxnnnn.LRV` beside `GXxxnnnn` or
// `GHxxnnnn` videos; Sony's `C0001M01.XML` beside `C0001.<video>`; DJI's
// `DJI_….SRT` beside `DJI_….<video>`. Stems compare exactly, extensions in
// any case.
CompanionClaims claimCompanions(const std::vector<std::string>& media,
                                const std::vector<std::string>& videos,
                                const std::vector<std::string>& candidates);

}  // namespace velmora::photos
