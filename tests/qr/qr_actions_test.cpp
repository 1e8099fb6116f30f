// The qr and qr-folder actions, end to end through the built executable.
#include "qr/qr_actions.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "qr/qr_images.h"
#include "support/bridge_runner.h"

namespace velmora::qr {
namespace {

namespace fs = std::filesystem;
using namespace velmora::qr::testing;
using velmora::testing::BridgeRun;
using velmora::testing::runBridge;
using velmora::testing::TestHome;
using velmora::testing::writeFile;
using Json = nlohmann::json;

Json progress(int position, int total) {
  return Json{
      {"progress", "QR-Prüfung: " + std::to_string(position) + "/" + std::to_string(total)}};
}

Json record(const std::string& id, bool qr, bool checked = true) {
  return Json{{"id", id}, {"qr", qr}, {"qr_checked", checked}};
}

// A successful, quiet run: status 0, only JSON lines, nothing on stderr.
void expectClean(const BridgeRun& run) {
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.allLinesParsed) << run.out;
  EXPECT_EQ(run.err, "");
}

// Names in the order the file system lists them, which the action keeps.
std::vector<std::string> listingOrder(const fs::path& folder) {
  std::vector<std::string> names;
  DIR* directory = ::opendir(folder.c_str());
  while (const dirent* entry = ::readdir(directory)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(directory);
  return names;
}

void saveCode(const fs::path& file) { save(codeImage({"velmora"}), file.string()); }
void savePlain(const fs::path& file) { save(filled(320, 240, 180), file.string()); }

TEST(QrAction, AnswersForOneFile) {
  TestHome home;
  const fs::path dir = home.scratch();
  fs::create_directories(dir / "folder.jpg");
  saveCode(dir / "code.jpg");
  saveCode(dir / "code.png");
  savePlain(dir / "plain.jpg");
  writeFile(dir / "broken.jpg", "\xff\xd8\xff\xe0 kein JPEG");
  struct Case {
    std::string name;
    bool qr;
  };
  for (const Case& c :
       {Case{"code.jpg", true}, Case{"code.png", true}, Case{"plain.jpg", false},
        Case{"broken.jpg", false}, Case{"missing.jpg", false}, Case{"folder.jpg", false}}) {
    const BridgeRun run = runBridge({"qr", (dir / c.name).string()}, home);
    expectClean(run);
    ASSERT_EQ(run.lines.size(), 1u) << c.name;
    EXPECT_EQ(run.lines[0], (Json{{"qr", c.qr}, {"qr_checked", true}})) << c.name;
  }
}

// Broken files (truncated, corrupt, a 64250 x 64250 JPEG header, an inflate
// bomb) give a plain negative, quickly, and no decoder says a word.
TEST(QrAction, BrokenFilesAreQuietNegatives) {
  const auto samples = velmora::testing::testdata();
  TestHome home;
  for (const auto& entry : fs::recursive_directory_iterator(samples / "bad")) {
    if (!entry.is_regular_file()) continue;
    const BridgeRun run = runBridge({"qr", entry.path().string()}, home);
    expectClean(run);
    ASSERT_EQ(run.lines.size(), 1u) << entry.path();
    EXPECT_EQ(run.lines[0], (Json{{"qr", false}, {"qr_checked", true}})) << entry.path();
  }
}

TEST(QrFolderAction, ExaminesOnlyLowerCaseJpgButCountsEveryEntry) {
  TestHome home;
  const fs::path dir = home.scratch() / "fotos";
  saveCode(dir / "a.jpg");
  saveCode(dir / "b.JPG");
  saveCode(dir / "c.jpeg");
  writeFile(dir / "notes.txt", "Notizen");
  const BridgeRun run = runBridge({"qr-folder", dir.string()}, home);
  expectClean(run);
  ASSERT_EQ(run.lines.size(), 2u) << run.out;
  EXPECT_EQ(run.lines[0], progress(1, 4));
  EXPECT_EQ(run.lines[1], (Json{{"items", Json::array({record("a", true)})}}));
}

TEST(QrFolderAction, KeepsListingOrderAndNamesRecordsWithoutLastExtension) {
  TestHome home;
  const fs::path dir = home.scratch() / "fotos";
  writeFile(dir / "readme.md", "x");
  writeFile(dir / "clip.mov", "x");
  fs::create_directories(dir / "Urlaub");
  saveCode(dir / "x.y.jpg");
  savePlain(dir / "strand.jpg");
  // A folder with a jpg name gets a record; the codes inside it are never looked at.
  saveCode(dir / "album.jpg" / "inner.jpg");
  saveCode(dir / "Urlaub" / "deep.jpg");
  const BridgeRun run = runBridge({"qr-folder", dir.string()}, home);
  expectClean(run);

  const std::map<std::string, Json> expected = {{"x.y.jpg", record("x.y", true)},
                                                {"strand.jpg", record("strand", false)},
                                                {"album.jpg", record("album", false)}};
  Json items = Json::array();
  for (const std::string& name : listingOrder(dir)) {
    if (expected.count(name)) items.push_back(expected.at(name));
  }
  ASSERT_EQ(run.lines.size(), 4u) << run.out;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(run.lines[i], progress(i + 1, 6));
  EXPECT_EQ(run.lines[3], (Json{{"items", items}}));
}

TEST(QrFolderAction, EmptyMissingOrNonFolderPathsGiveNoItems) {
  TestHome home;
  const fs::path dir = home.scratch();
  fs::create_directories(dir / "leer");
  saveCode(dir / "code.jpg");
  for (const fs::path& path : {dir / "leer", dir / "fehlt", dir / "code.jpg"}) {
    const BridgeRun run = runBridge({"qr-folder", path.string()}, home);
    expectClean(run);
    ASSERT_EQ(run.lines.size(), 1u) << path;
    EXPECT_EQ(run.lines[0], (Json{{"items", Json::array()}})) << path;
  }
}

TEST(QrFolderAction, UndecodableEntriesStillGetARecord) {
  TestHome home;
  const fs::path dir = home.scratch() / "fotos";
  writeFile(dir / "leer.jpg", "");
  writeFile(dir / "text.jpg", "kein Bild");
  // Only the name counts: a PNG named .jpg is examined and decoded.
  save(codeImage({"png"}), (dir / "tarnung.png").string());
  fs::rename(dir / "tarnung.png", dir / "tarnung.jpg");
  // A name that is not UTF-8 still gets its record, with the bad byte replaced.
  writeFile(dir / "Bild\xff.jpg", "kein Bild");
  const BridgeRun run = runBridge({"qr-folder", dir.string()}, home);
  expectClean(run);
  ASSERT_EQ(run.lines.size(), 5u) << run.out;
  std::map<std::string, Json> byId;
  for (const Json& item : run.lines[4]["items"]) byId[item["id"]] = item;
  EXPECT_EQ(byId["Bild\uFFFD"], record("Bild\uFFFD", false));
  EXPECT_EQ(byId["leer"], record("leer", false));
  EXPECT_EQ(byId["text"], record("text", false));
  EXPECT_EQ(byId["tarnung"], record("tarnung", true));
}

// Several pictures at once give the lines of one picture after another.
TEST(QrFolderAction, SeveralWorkersWriteWhatOneWorkerWrites) {
  TestHome home;
  const fs::path dir = home.scratch() / "fotos";
  for (int i = 0; i < 6; ++i) {
    saveCode(dir / ("code" + std::to_string(i) + ".jpg"));
    savePlain(dir / ("plain" + std::to_string(i) + ".jpg"));
  }
  save(codeImage({"png"}), (dir / "tarnung.png").string());
  fs::rename(dir / "tarnung.png", dir / "tarnung.jpg");
  writeFile(dir / "kaputt.jpg", "\xff\xd8\xff\xe0 kein JPEG");
  writeFile(dir / "leer.jpg", "");
  writeFile(dir / "notes.txt", "x");
  fs::create_directories(dir / "album.jpg");

  const auto linesWith = [&](unsigned workers) {
    std::vector<Json> lines;
    EXPECT_EQ(qrFolderAction({"velmora-bridge", "qr-folder", dir.string()},
                             [&](const Json& line) { lines.push_back(line); }, workers),
              0);
    return lines;
  };
  const std::vector<Json> one = linesWith(1);
  ASSERT_EQ(one.size(), 17u);
  EXPECT_EQ(one[15], progress(16, 17));
  for (const unsigned workers : {2U, 4U}) EXPECT_EQ(linesWith(workers), one) << workers << " workers";
}

}  // namespace
}  // namespace velmora::qr
