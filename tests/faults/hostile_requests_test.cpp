// Request files that are not what a request should be, end to end: huge,
// deeply nested, not UTF-8, or a FIFO that nobody writes to. Each run ends
// quickly with its one error line and status 1, writes nothing to standard
// error, and leaves the library as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "bridge/messages.h"
#include "support/bridge_runner.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
namespace messages = bridge::messages;
using nlohmann::json;

struct HostileRequest {
  const char* what;
  std::function<void(const fs::path&)> make;
  const char* deleteError;  // the line `delete` ends with
};

const std::vector<HostileRequest>& hostileRequests() {
  static const std::vector<HostileRequest> requests = {
      {"50 MB of one identifier",
       [](const fs::path& f) { writeFile(f, R"({"ids": [")" + std::string(50 << 20, 'a') + "\"]}"); },
       messages::selectionChanged},
      {"50 MB of spaces before the object",
       [](const fs::path& f) { writeFile(f, std::string(50 << 20, ' ') + R"({"ids": []})"); },
       messages::selectionInvalid},
      {"a valid request behind 300 MB of spaces, past the size limit",
       [](const fs::path& f) {
         std::ofstream out(f, std::ios::binary);
         const std::string spaces(1 << 20, ' ');
         for (int i = 0; i < 300; ++i) out << spaces;
         out << R"({"ids": [], "checks": {}, "items": []})";
       },
       messages::selectionInvalid},
      {"100000 opening brackets",
       [](const fs::path& f) { writeFile(f, R"({"ids": )" + std::string(100000, '[')); },
       messages::selectionInvalid},
      {"100000 nested arrays, closed",
       [](const fs::path& f) {
         writeFile(f, R"({"items": )" + std::string(100000, '[') + std::string(100000, ']') +
                          R"(, "ids": )" + std::string(100000, '[') + std::string(100000, ']') + "}");
       },
       messages::selectionInvalid},
      {"30 MB of opening brackets",
       [](const fs::path& f) { writeFile(f, std::string(30 << 20, '[')); },
       messages::selectionInvalid},
      {"a repeated key, the second naming a photo",
       [](const fs::path& f) {
         writeFile(f, R"({"ids": ["nonexist.jpg"], "ids": ["a.jpg"], "items": [], "items": []})");
       },
       messages::selectionInvalid},
      {"a valid request with a trailing NUL",
       [](const fs::path& f) { writeFile(f, std::string(R"({"ids": ["a.jpg"], "items": []})") + '\0'); },
       messages::selectionInvalid},
      {"Latin-1 instead of UTF-8",
       [](const fs::path& f) { writeFile(f, "{\"ids\": [\"Caf\xE9.jpg\"], \"items\": [\"\xE9\"]}"); },
       messages::selectionInvalid},
      {"UTF-16 with a byte order mark",
       [](const fs::path& f) {
         writeFile(f, std::string("\xFF\xFE{\0\"\0i\0d\0s\0\"\0:\0[\0]\0}\0", 22));
       },
       messages::selectionInvalid},
      {"a FIFO nobody writes to",
       [](const fs::path& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0); },
       messages::selectionInvalid},
      {"a folder", [](const fs::path& f) { fs::create_directory(f); }, messages::selectionInvalid},
      {"a missing file", [](const fs::path&) {}, messages::selectionInvalid},
  };
  return requests;
}

void expectOnlyError(const BridgeRun& run, const std::string& text) {
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.allLinesParsed) << run.out;
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.back(), json({{"error", text}}));
  EXPECT_EQ(run.err, "");
}

TEST(HostileRequests, DeleteRejectsThemAndDeletesNothing) {
  for (const HostileRequest& request : hostileRequests()) {
    SCOPED_TRACE(request.what);
    TestHome home;
    writeFile(home.pictures() / "a.jpg", "photo");
    const fs::path file = home.scratch() / "request.json";
    request.make(file);
    RunOptions options;
    options.environment = home.environment();
    options.timeoutSeconds = 300;  // a hang guard; the sanitizer build is slow on 50 MB
    const BridgeRun run = runBridge({"delete", file.string()}, options);
    expectOnlyError(run, request.deleteError);
    EXPECT_EQ(run.lines.size(), 1u);
    // Refused without building what it describes: a nesting of 30 MB once
    // cost 2 GB.
    if (std::string(request.what).find("brackets") != std::string::npos) {
      EXPECT_LT(run.peakResidentKb, 400 * 1024);
    }
    EXPECT_EQ(readFile(home.pictures() / "a.jpg"), "photo");
    EXPECT_FALSE(fs::exists(home.home() / ".local/share/Trash/files"));
  }
}

TEST(HostileRequests, SemanticRejectsThemBeforeAnyItem) {
  for (const HostileRequest& request : hostileRequests()) {
    SCOPED_TRACE(request.what);
    TestHome home;
    const fs::path file = home.scratch() / "request.json";
    request.make(file);
    RunOptions options;
    options.environment = home.environment();
    options.timeoutSeconds = 300;  // a hang guard; the sanitizer build is slow on 50 MB
    const BridgeRun run = runBridge({"semantic", file.string()}, options);
    expectOnlyError(run, messages::semanticRequestInvalid);
    EXPECT_EQ(run.lines.size(), 1u);
  }
}

}  // namespace
}  // namespace velmora::testing
