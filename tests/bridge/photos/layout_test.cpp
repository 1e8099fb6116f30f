#include "bridge/photos/layout.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "bridge/photos/identifier.h"
#include "bridge/photos/library.h"

namespace velmora::photos {
namespace {

// "type:name type:name | type:name" — one asset per '|'-separated part,
// each prefixed with its media type ("1>" or "2>").
std::string describe(const std::vector<AssetLayout>& assets) {
  std::string text;
  for (const AssetLayout& asset : assets) {
    if (!text.empty()) text += " | ";
    text += std::to_string(asset.mediaType) + ">";
    for (const ResourceLayout& resource : asset.resources) {
      text += " " + std::to_string(resource.type) + ":" + resource.name;
    }
  }
  return text;
}

TEST(Layout, GroupsFilesOfAFolderIntoAssetsByStem) {
  const struct {
    std::vector<std::string> names;
    std::string expected;
  } cases[] = {
      {{"IMG_1.HEIC", "IMG_1.MOV"}, "1> 1:IMG_1.HEIC 9:IMG_1.MOV"},
      {{"DSC_2.NEF", "DSC_2.JPG"}, "1> 1:DSC_2.JPG 4:DSC_2.NEF"},
      {{"DSC_3.dng"}, "1> 1:DSC_3.dng"},
      {{"clip.mp4"}, "2> 2:clip.mp4"},
      {{"IMG_4.JPG", "IMG_4.AAE", "IMG_4.xmp", "IMG_4.JPG.xmp"},
       "1> 1:IMG_4.JPG 7:IMG_4.AAE 7:IMG_4.JPG.xmp 7:IMG_4.xmp"},
      // A full live photo with RAW and sidecars: primary, alternate, video,
      // then sidecars by name; the video's own sidecar goes with it.
      {{"P.xmp", "P.MOV.xmp", "P.MOV", "P.DNG", "P.HEIC"},
       "1> 1:P.HEIC 4:P.DNG 9:P.MOV 7:P.MOV.xmp 7:P.xmp"},
      // Sidecars without an asset and unknown formats are no assets.
      {{"lonely.xmp", "lonely.AAE", "notes.txt", "README", "x.JPG.xmp"}, ""},
      // Stems are case-sensitive, extensions are not.
      {{"a.jpg", "A.mov"}, "2> 2:A.mov | 1> 1:a.jpg"},
      {{"b.JpEg", "b.Mp4"}, "1> 1:b.JpEg 9:b.Mp4"},
      // More than one still, RAW or video per stem: the first by name is
      // the primary's, the rest stand alone.
      {{"c.jpg", "c.heic", "c.png", "c.mov", "c.mp4", "c.xmp", "c.png.xmp"},
       "1> 1:c.heic 9:c.mov 7:c.xmp | 1> 1:c.jpg | 2> 2:c.mp4 | 1> 1:c.png 7:c.png.xmp"},
      {{"d.cr2", "d.nef", "d.mov"}, "1> 1:d.cr2 | 2> 2:d.mov | 1> 1:d.nef"},
      // "name.ext.xmp" is a stem sidecar when "name.ext" is no media file.
      {{"e.f.jpg", "e.f.xmp"}, "1> 1:e.f.jpg 7:e.f.xmp"},
      {{"e.f", "e.f.jpg", "e.xmp"}, "1> 1:e.f.jpg"},
      {{"h.jpg.xmp", "h.JPG"}, "1> 1:h.JPG"},
      // A 3D camera's stereo MPO is a still like any other; saved beside a
      // JPEG of the same stem, each stands alone.
      {{"DSCF0001.MPO", "DSCF0001.JPG"}, "1> 1:DSCF0001.JPG | 1> 1:DSCF0001.MPO"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(describe(groupFolder(c.names)), c.expected) << c.names.front();
    std::vector<std::string> reversed(c.names.rbegin(), c.names.rend());
    EXPECT_EQ(describe(groupFolder(reversed)), c.expected) << "reversed " << c.names.front();
  }
}

TEST(Layout, UniformTypesFollowTheExtensionInAnyCase) {
  const std::pair<std::string, std::string> cases[] = {
      {"a.JPG", "public.jpeg"},
      {"a.jpe", "public.jpeg"},
      {"a.MPO", "public.mpo-image"},
      {"a.HEIC", "public.heic"},
      {"a.avif", "public.avif"},
      {"a.Tif", "public.tiff"},
      {"a.CR3", "com.canon.cr3-raw-image"},
      {"a.MOV", "com.apple.quicktime-movie"},
      {"a.m2ts", "public.avchd-mpeg-2-transport-stream"},
      {"a.AAE", "com.apple.photos.apple-adjustment-envelope"},
      {"a.xmp", "com.adobe.xmp"},
      {"a.txt", ""},
      {"jpg", ""},
      {"a.", ""},
  };
  for (const auto& [name, identifier] : cases) {
    EXPECT_EQ(uniformTypeIdentifier(name), identifier) << name;
  }
}

TEST(Identifier, EveryPathRoundTripsThroughOneSpelling) {
  const std::pair<std::string, std::string> cases[] = {
      {"2024/IMG_0001.HEIC", "2024/IMG_0001.HEIC"},
      {"Urlaub/Strand äöü €.jpg", "Urlaub/Strand äöü €.jpg"},
      {"100%.jpg", "100%25.jpg"},
      {"Caf\xE9.jpg", "Caf%E9.jpg"},                 // Latin-1
      {"a\xC3.jpg", "a%C3.jpg"},                     // cut-off sequence
      {"\xC0\xAF.jpg", "%C0%AF.jpg"},                // overlong '/'
      {"\xED\xA0\x80.jpg", "%ED%A0%80.jpg"},         // surrogate
      {"\xF4\x90\x80\x80.jpg", "%F4%90%80%80.jpg"},  // beyond U+10FFFF
      {"tab\there.jpg", "tab\there.jpg"},            // JSON escapes it
  };
  for (const auto& [path, identifier] : cases) {
    EXPECT_EQ(identifierForPath(path), identifier) << identifier;
    EXPECT_EQ(pathForIdentifier(identifier), path) << identifier;
  }
}

TEST(Identifier, NamesOutsideTheLibraryOrNonCanonicalSpellingsAreNothing) {
  for (const std::string identifier :
       {"", "/etc/passwd", "../x.jpg", "a/../b.jpg", "./a.jpg", "a/./b.jpg", "a//b.jpg", "a/",
        ".hidden.jpg", "a/.b/c.jpg", "%61.jpg", "Caf%e9.jpg", "100%.jpg", "bad%G1.jpg", "end%2",
        "%2F..%2Fx.jpg", "nul%00.jpg", "slash%2Fa.jpg"}) {
    EXPECT_FALSE(pathForIdentifier(identifier)) << identifier;
  }
}

}  // namespace
}  // namespace velmora::photos
