// `delete` when the world around it fails: the parent stops reading before
// the answer, the trash cannot be created. The change completes or is
// undone as a whole, and the process still ends with its own status.
#include <gtest/gtest.h>

#include <filesystem>
#include <vips/vips8>

#include "bridge/photos/disk_library.h"
#include "base/vips.h"
#include "inventory/fingerprint.h"
#include "support/sample_files.h"
#include "support/bridge_runner.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string fingerprint(const fs::path& pictures, const std::string& id) {
  photos::DiskLibrary library(pictures);
  const std::vector<photos::Asset> found = library.fetchByIdentifiers({id});
  if (found.empty()) return "";
  std::uint64_t size = 0;
  return inventory::resourceHash(library, found.front(), size).value_or("");
}

fs::path request(const TestHome& home, const std::string& text) {
  const fs::path file = home.scratch() / "request.json";
  writeFile(file, text);
  return file;
}

TEST(DeleteFaults, AParentThatStopsReadingStillGetsTheWholeChange) {
  TestHome home;
  writeFlatJpeg(home.pictures() / "IMG_0001.JPG", 10, 16, 16);
  writeFile(home.pictures() / "IMG_0001.MOV", "paired video");
  writeFile(home.pictures() / "IMG_0001.xmp", "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>");
  const std::string hash = fingerprint(home.pictures(), "IMG_0001.JPG");
  RunOptions options;
  options.environment = home.environment();
  options.closeStdoutEarly = true;
  options.timeoutSeconds = 60;
  const BridgeRun run = runBridge(
      {"delete", request(home, R"({"ids": ["IMG_0001.JPG"], "checks": [{"id": "IMG_0001.JPG", )"
                                   R"("hash": ")" + hash + R"("}]})")
                     .string()},
      options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0);  // not killed by SIGPIPE half way
  EXPECT_EQ(run.err, "");
  const fs::path trash = home.home() / ".local/share/Trash";
  for (const char* name : {"IMG_0001.JPG", "IMG_0001.MOV", "IMG_0001.xmp"}) {
    EXPECT_FALSE(fs::exists(home.pictures() / name)) << name;
    EXPECT_TRUE(fs::exists(trash / "files" / name)) << name;
    EXPECT_TRUE(fs::exists(trash / "info" / (std::string(name) + ".trashinfo"))) << name;
  }
}

TEST(DeleteFaults, AParentThatStopsReadingGetsTheRefusalAsStatus) {
  TestHome home;
  writeFlatJpeg(home.pictures() / "IMG_0001.JPG", 10, 16, 16);
  RunOptions options;
  options.environment = home.environment();
  options.closeStdoutEarly = true;
  const BridgeRun run = runBridge(
      {"delete", request(home, R"({"ids": ["IMG_0001.JPG"], "checks": [{"id": "IMG_0001.JPG", )"
                               R"("hash": "0"}]})")
                     .string()},
      options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(fs::exists(home.pictures() / "IMG_0001.JPG"));
}

TEST(DeleteFaults, ATrashThatCannotBeCreatedLeavesEveryFileInPlace) {
  TestHome home;
  writeFlatJpeg(home.pictures() / "IMG_0001.JPG", 10, 16, 16);
  writeFile(home.pictures() / "IMG_0001.MOV", "paired video");
  // The data folder is a file: no trash can be made below it, even by root.
  writeFile(home.home() / "data", "not a folder");
  RunOptions options;
  options.environment = home.environment();
  options.environment["XDG_DATA_HOME"] = (home.home() / "data").string();
  const BridgeRun run =
      runBridge({"delete", request(home, R"({"ids": ["IMG_0001.JPG"]})").string()}, options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "");
  ASSERT_EQ(run.lines.size(), 1u) << run.out;
  ASSERT_TRUE(run.lines[0].contains("error"));
  EXPECT_NE(run.lines[0]["error"].get<std::string>().find("IMG_0001"), std::string::npos)
      << run.out;
  EXPECT_TRUE(fs::exists(home.pictures() / "IMG_0001.JPG"));
  EXPECT_EQ(readFile(home.pictures() / "IMG_0001.MOV"), "paired video");
  EXPECT_EQ(readFile(home.home() / "data"), "not a folder");
}

}  // namespace
}  // namespace velmora::testing
