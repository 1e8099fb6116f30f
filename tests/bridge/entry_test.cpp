// The built executable, end to end: run modes, argument checks and the
// process's exit.
#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <thread>

#include "bridge/messages.h"
#include "support/bridge_runner.h"
#include "support/sample_files.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
using bridge::messages::callIncomplete;
using bridge::messages::libraryAccessMissing;
using bridge::messages::unknownAction;

void expectSingleError(const BridgeRun& run, const char* text) {
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.allLinesParsed) << run.out;
  ASSERT_EQ(run.lines.size(), 1u) << run.out;
  EXPECT_EQ(run.lines[0], (nlohmann::json{{"error", text}}));
  EXPECT_EQ(run.err, "");
}

TEST(Entry, ShortArgumentListsAreIncompleteInBothModes) {
  TestHome withoutPictures(false);
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {}, {"qr"}, {"qr-folder"}, {"semantic"}, {"scan"}, {"delete"}, {"anything"}}) {
    // No pictures folder: a library access request would show as the
    // missing-access message instead.
    expectSingleError(runBridge(arguments, withoutPictures), callIncomplete);
  }
}

TEST(Entry, UnknownAndMiscasedWordsAskForAccessFirst) {
  TestHome granted;
  TestHome refused(false);
  for (const std::string word : {"QR", "Qr-folder", "SEMANTIC", "scan2", "hilfe"}) {
    expectSingleError(runBridge({word, "/tmp/x.jpg"}, granted), unknownAction);
    expectSingleError(runBridge({word, "/tmp/x.jpg"}, refused), libraryAccessMissing);
  }
}

TEST(Entry, AccessNeedsAReadableWritableSearchableFolder) {
  TestHome home(false);
  const fs::path pictures = home.pictures();

  writeFile(pictures, "a file, not a folder");
  expectSingleError(runBridge({"nix", "x"}, home), libraryAccessMissing);
  fs::remove(pictures);

  fs::create_directory(pictures);
  if (::geteuid() != 0) {  // root may enter and write any folder
    fs::permissions(pictures, fs::perms::owner_read | fs::perms::owner_exec);
    expectSingleError(runBridge({"nix", "x"}, home), libraryAccessMissing);
    fs::permissions(pictures, fs::perms::owner_read | fs::perms::owner_write);
    expectSingleError(runBridge({"nix", "x"}, home), libraryAccessMissing);
  }
  fs::permissions(pictures, fs::perms::owner_all);
  expectSingleError(runBridge({"nix", "x"}, home), unknownAction);

  // A dangling symlink in its place is no folder either.
  fs::remove(pictures);
  fs::create_symlink(home.home() / "gone", pictures);
  expectSingleError(runBridge({"nix", "x"}, home), libraryAccessMissing);
}

TEST(Entry, PicturesFolderFollowsUserDirs) {
  TestHome home(false);
  fs::create_directories(home.home() / "Bilder");
  const fs::path config = home.home() / ".config" / "user-dirs.dirs";

  writeFile(config, "# written by xdg-user-dirs-update\nXDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
  expectSingleError(runBridge({"nix", "x"}, home), unknownAction);

  writeFile(config, "XDG_PICTURES_DIR=\"" + (home.home() / "Bilder").string() + "\"\n");
  expectSingleError(runBridge({"nix", "x"}, home), unknownAction);

  // The home folder itself means "no pictures folder", though it exists.
  for (const std::string& value : std::vector<std::string>{"$HOME", "$HOME/", home.home().string()}) {
    writeFile(config, "XDG_PICTURES_DIR=\"" + value + "\"\n");
    expectSingleError(runBridge({"nix", "x"}, home), libraryAccessMissing);
  }

  writeFile(config, "XDG_PICTURES_DIR=\"$HOME/Fehlt\"\n");
  expectSingleError(runBridge({"nix", "x"}, home), libraryAccessMissing);
}

TEST(Entry, ArgumentsAfterThePathAreIgnored) {
  TestHome home;
  const BridgeRun plain = runBridge({"QR", "/tmp/none.jpg"}, home);
  const BridgeRun extra = runBridge({"QR", "/tmp/none.jpg", "--verbose", "scan"}, home);
  EXPECT_EQ(plain.out, extra.out);
  EXPECT_EQ(plain.status, extra.status);
  const BridgeRun headless = runBridge({"qr", "/tmp/none.jpg"}, home);
  const BridgeRun headlessExtra = runBridge({"qr", "/tmp/none.jpg", "x", "y"}, home);
  EXPECT_EQ(headless.out, headlessExtra.out);
  EXPECT_EQ(headless.status, headlessExtra.status);
}

TEST(Entry, EndsWithItsStatusFromTheWorkerManyTimesInARow) {
  // The worker ends the process while the main loop runs; no run may crash
  // on the way out, with or without a display.
  TestHome home;
  for (const bool display : {false, true}) {
    if (display && std::getenv("DISPLAY") == nullptr) continue;
    for (int i = 0; i < 25; ++i) {
      expectSingleError(runBridge({"unbekannt", "x"}, home, display), unknownAction);
    }
  }
}

TEST(Entry, SurvivesAParentThatStopsReading) {
  TestHome home;
  RunOptions options;
  options.environment = home.environment();
  options.closeStdoutEarly = true;
  for (int i = 0; i < 10; ++i) {
    const BridgeRun run = runBridge({"unbekannt", "x"}, options);
    EXPECT_EQ(run.status, 1);  // not killed by SIGPIPE
    EXPECT_EQ(run.err, "");
  }
}

}  // namespace
}  // namespace velmora::testing

namespace velmora::testing {
namespace {

TEST(Entry, LeavesTheHomeFolderAloneWithoutADisplay) {
  TestHome home;
  const auto before = std::distance(fs::recursive_directory_iterator(home.home()),
                                    fs::recursive_directory_iterator());
  expectSingleError(runBridge({"unbekannt", "x"}, home), unknownAction);
  const auto after = std::distance(fs::recursive_directory_iterator(home.home()),
                                   fs::recursive_directory_iterator());
  EXPECT_EQ(before, after);
  EXPECT_FALSE(fs::exists(home.home() / ".cache"));
}

// A parent that leaves standard input or output closed: the next file or
// socket opened would take its number and the JSON lines would go into it
// (the X connection, which a display then aborts on; a preview file).
TEST(Entry, ClosedStandardDescriptorsTakeNoFileTheRunOpens) {
  struct Case {
    const char* what;
    std::vector<int> closed;
    bool display;
  };
  const std::vector<Case> cases = {
      {"standard output closed, with a display", {1}, true},
      {"standard input and output closed", {0, 1}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.display && std::getenv("DISPLAY") == nullptr) continue;
    TestHome home;
    writeNoiseJpeg(home.pictures() / "a.jpg", 1600, 1200);
    writeFlatJpeg(home.pictures() / "b.jpg", 90);
    const fs::path previews = home.scratch() / "previews";
    fs::create_directories(previews);
    RunOptions options;
    options.environment = home.environment();
    options.keepDisplay = c.display;
    options.closedDescriptors = c.closed;
    // What descriptor 1 is while the bridge runs, looked at again and again.
    std::atomic<bool> ended{false};
    std::set<std::string> standardOutput;
    std::thread watcher;
    options.started = [&](pid_t pid) {
      watcher = std::thread([&, pid] {
        const std::string link = "/proc/" + std::to_string(pid) + "/fd/1";
        while (!ended) {
          std::error_code error;
          const fs::path target = fs::read_symlink(link, error);
          if (!error) standardOutput.insert(target.string().substr(0, 7));
        }
      });
    };
    const BridgeRun run = runBridge({"scan", previews.string()}, options);
    ended = true;
    if (watcher.joinable()) watcher.join();
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(standardOutput.contains("socket:")) << "the JSON lines went into a socket";
    for (const char* name : {"0.jpg", "1.jpg"}) {
      const std::string preview = readFile(previews / name);
      EXPECT_EQ(preview.rfind("\xFF\xD8", 0), 0u) << name;
      EXPECT_EQ(preview.find("progress"), std::string::npos) << name;
    }
  }
}

}  // namespace
}  // namespace velmora::testing
