#include "bridge/photos/catalogs/companion_names.h"

#include <gtest/gtest.h>

#include "bridge/photos/catalogs/takeout_json.h"

namespace velmora::photos {
namespace {

// "companion>owner" pairs, then "copy<json" for what edited copies read.
std::string describe(const CompanionClaims& claims) {
  std::string text;
  for (const auto& [companion, owner] : claims.owner) text += companion + ">" + owner + " ";
  for (const auto& [copy, jsons] : claims.readOnly) {
    for (const std::string& json : jsons) text += copy + "<" + json + " ";
  }
  if (!text.empty()) text.pop_back();
  return text;
}

TEST(CompanionNames, ClaimOnlyWhatFitsExactlyOneFile) {
  const std::string longName = "Screenshot_20231224-183012_Google Maps Navigation.jpg";  // 53
  const struct {
    std::vector<std::string> media, videos, candidates;
    std::string expected;
  } cases[] = {
      // Takeout: every spelling of the sidecar's name; others stay alone.
      {{"a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg"},
       {},
       {"a.jpg.json", "b.jpg.supplemental-metadata.json", "c.jpg.suppl.json", "d.jpg.s.json",
        "e.jpg.supplemental-metadatax.json", "metadata.json", "print-subscriptions.json"},
       "a.jpg.json>a.jpg b.jpg.supplemental-metadata.json>b.jpg c.jpg.suppl.json>c.jpg "
       "d.jpg.s.json>d.jpg"},
      // Numbered copies, old and new style; the number must agree.
      {{"IMG(1).jpg", "IMG.jpg", "P(2).jpg"},
       {},
       {"IMG.jpg(1).json", "IMG.jpg.json", "P.jpg.supplemental-metadata(2).json", "P.jpg(3).json"},
       "IMG.jpg(1).json>IMG(1).jpg IMG.jpg.json>IMG.jpg "
       "P.jpg.supplemental-metadata(2).json>P(2).jpg"},
      // Clipped to 46 characters inside the name; one that is shorter, or
      // that fits two photos, belongs to none.
      {{longName, longName.substr(0, 46) + "x.jpg", "short name.jpg"},
       {},
       {longName.substr(0, 47) + ".json", longName.substr(0, 46) + ".json", "short.json"},
       longName.substr(0, 47) + ".json>" + longName},
      // Two JSONs may describe one photo; edited copies read the original's.
      {{"IMG_5.jpg", "IMG_5-edited.jpg", "IMG_6-bearbeitet.jpg"},
       {},
       {"IMG_5.jpg.json", "IMG_5.jpg.supplemental-metadata.json", "IMG_6.jpg.json"},
       "IMG_5.jpg.json>IMG_5.jpg IMG_5.jpg.supplemental-metadata.json>IMG_5.jpg "
       "IMG_5-edited.jpg<IMG_5.jpg.json IMG_5-edited.jpg<IMG_5.jpg.supplemental-metadata.json "
       "IMG_6-bearbeitet.jpg<IMG_6.jpg.json"},
      // A title with a slash is no file name; ".." names nothing.
      {{"x.jpg"}, {}, {"..json", "...json", "x.jpg..json"}, ""},
      // Cameras: same stem, GoPro's chapters, Sony's clip XML, DJI's log.
      {{"MVI_1.MOV", "GX010034.MP4", "GH020035.MP4", "C0001.MP4", "DJI_0001.MP4", "film.mkv"},
       {"MVI_1.MOV", "GX010034.MP4", "GH020035.MP4", "C0001.MP4", "DJI_0001.MP4", "film.mkv"},
       {"MVI_1.THM", "GL010034.LRV", "GX010034.THM", "GL020035.LRV", "C0001M01.XML", "DJI_0001.SRT",
        "DJI_0001.LRF", "film.srt", "C0002M01.XML"},
       "C0001M01.XML>C0001.MP4 DJI_0001.LRF>DJI_0001.MP4 DJI_0001.SRT>DJI_0001.MP4 "
       "GL010034.LRV>GX010034.MP4 GL020035.LRV>GH020035.MP4 GX010034.THM>GX010034.MP4 "
       "MVI_1.THM>MVI_1.MOV"},
      // A thumbnail is a video's only: beside a photo, or beside two videos
      // of its stem, it belongs to none.
      {{"IMG_7.JPG", "V.MP4", "V.MOV"}, {"V.MP4", "V.MOV"}, {"IMG_7.THM", "V.THM"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(describe(claimCompanions(c.media, c.videos, c.candidates)), c.expected);
  }
}

TEST(TakeoutJson, ReadsFavouriteAndTakenTimeOnlyFromWellFormedSidecars) {
  const struct {
    std::string text;
    bool readable, favorited;
    std::optional<double> taken;
  } cases[] = {
      {R"({"title": "IMG_1.jpg", "favorited": true,
           "photoTakenTime": {"timestamp": "1450051200", "formatted": "14.12.2015"}})",
       true, true, 1450051200.0},
      {R"({"photoTakenTime": {"timestamp": 1450051200}})", true, false, 1450051200.0},
      {R"({"favorited": "true", "photoTakenTime": {"timestamp": "14.12.2015"}})", true, false,
       std::nullopt},
      {R"({"title": "../../etc/passwd", "photoTakenTime": {"timestamp": "99999999999"}})", true,
       false, std::nullopt},
      {R"({"favorited": false, "favorited": true})", false, false, std::nullopt},
      {R"([{"favorited": true}])", false, false, std::nullopt},
      {"{\"favorited\": tr", false, false, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<TakeoutFacts> facts = parseTakeoutJson(c.text);
    ASSERT_EQ(facts.has_value(), c.readable);
    if (!facts) continue;
    EXPECT_EQ(facts->favorited, c.favorited);
    EXPECT_EQ(facts->takenTime, c.taken);
  }
}

}  // namespace
}  // namespace velmora::photos
