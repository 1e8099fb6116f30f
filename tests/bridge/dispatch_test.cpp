#include "bridge/dispatch.h"

#include <gtest/gtest.h>

#include "bridge/messages.h"
#include "support/fake_library.h"

namespace velmora::bridge {
namespace {

struct Harness {
  std::vector<Json> lines;
  int libraryOpened = 0;
  bool granted = true;
  Services services{[this](const Json& line) { lines.push_back(line); },
                    [this]() -> std::unique_ptr<photos::PhotoLibrary> {
                      ++libraryOpened;
                      auto library = std::make_unique<testing::FakeLibrary>();
                      library->granted = granted;
                      return library;
                    },
                    nullptr,
                    std::nullopt};  // nothing kept between runs
};

TEST(Dispatch, ShortArgumentListsAreIncompleteBeforeAnyLibraryAccess) {
  for (const Arguments& arguments :
       {Arguments{}, Arguments{"bridge"}, Arguments{"bridge", "qr"}, Arguments{"bridge", "scan"},
        Arguments{"bridge", "unbekannt"}}) {
    Harness harness;
    EXPECT_EQ(work(arguments, harness.services), 1);
    ASSERT_EQ(harness.lines.size(), 1u);
    EXPECT_EQ(harness.lines[0], errorMessage(messages::callIncomplete));
    EXPECT_EQ(harness.libraryOpened, 0);
  }
}

TEST(Dispatch, UnknownWordsNeedAccessFirst) {
  for (const std::string word : {"QR", "Scan", "löschen", ""}) {
    for (const bool granted : {true, false}) {
      Harness harness;
      harness.granted = granted;
      EXPECT_EQ(work({"bridge", word, "/tmp"}, harness.services), 1);
      ASSERT_EQ(harness.lines.size(), 1u);
      EXPECT_EQ(harness.lines[0]["error"],
                granted ? messages::unknownAction : messages::libraryAccessMissing)
          << word;
      EXPECT_EQ(harness.libraryOpened, 1);
    }
  }
}

TEST(Dispatch, HeadlessWordsNeverOpenTheLibrary) {
  for (const std::string word : {"qr", "qr-folder", "semantic"}) {
    Harness harness;
    harness.granted = false;
    work({"bridge", word, "/nonexistent/velmora"}, harness.services);
    EXPECT_EQ(harness.libraryOpened, 0) << word;
    ASSERT_FALSE(harness.lines.empty());
    EXPECT_NE(harness.lines.back().value("error", ""), messages::libraryAccessMissing);
  }
}

TEST(Dispatch, LibraryWordsStopAtMissingAccess) {
  for (const std::string word : {"scan", "delete"}) {
    Harness harness;
    harness.granted = false;
    EXPECT_EQ(work({"bridge", word, "/tmp"}, harness.services), 1);
    ASSERT_EQ(harness.lines.size(), 1u);
    EXPECT_EQ(harness.lines[0]["error"], messages::libraryAccessMissing);
  }
}

}  // namespace
}  // namespace velmora::bridge
