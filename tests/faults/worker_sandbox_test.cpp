// Files that crash, hang or exhaust a parser, and workers that try to break
// out: the scan still ends with every record.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "support/bridge_runner.h"
#include "support/sample_files.h"
#include "support/temp_dir.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string littleEndian(std::uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

std::string bigEndian32(std::uint32_t value) {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
  return out;
}

// The kinds of file that ended whole scans when Exiv2 chose its reader by
// the contents, each under an ordinary picture's name.
std::map<std::string, std::string> crashClassFiles() {
  std::map<std::string, std::string> files;
  // AVI whose LIST/INFO chunk is longer than 10,000 bytes (heap overflow).
  const std::string info = "ISFT" + littleEndian(12'000, 4) + std::string(12'000, 'A');
  const std::string list = "LIST" + littleEndian(info.size() + 4, 4) + "INFO" + info;
  files["riff.jpg"] = "RIFF" + littleEndian(list.size() + 4, 4) + "AVI " + list;
  // A damaged WebM (an assertion in the Matroska reader).
  std::string webm = "\x1A\x45\xDF\xA3\x9F\x42\x86\x81\x01\x42\xF7\x81\x01\x42\x82\x84webm";
  webm += "\x18\x53\x80\x67\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF";
  for (int i = 0; webm.size() < 1024; ++i) webm += static_cast<char>((i * 37) & 0xFF);
  files["matroska.tif"] = webm;
  files["matroska.png"] = webm;
  // 130,000 nested `moov` boxes (stack overflow in the QuickTime reader).
  constexpr std::uint32_t depth = 130'000;
  std::string moov;
  moov.reserve(depth * 8);
  for (std::uint32_t level = 0; level < depth; ++level) {
    moov += bigEndian32(8 * (depth - level)) + "moov";
  }
  files["boxes.jpg"] = moov;
  // An ASF header with two child objects (an endless loop in the ASF reader).
  const std::string headerGuid("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C",
                               16);
  std::string child(16, '\x11');
  child += littleEndian(0, 8);
  std::string asf = headerGuid + littleEndian(180, 8) + littleEndian(2, 4) + "\x01\x02";
  asf += child + child;
  asf.resize(180, '\0');
  files["asf.jpg"] = asf;
  // Nested PGF headers (gigabytes of memory and tens of seconds).
  std::string pgf;
  for (int i = 0; i < 64; ++i) pgf += "PGF6" + littleEndian(0x7FFFFF00, 4) + std::string(8, '\xFF');
  files["pgf.jpg"] = pgf;
  return files;
}

std::map<std::string, json> itemsByName(const BridgeRun& run) {
  std::map<std::string, json> items;
  if (run.lines.empty() || !run.lines.back().contains("items")) return items;
  for (const json& item : run.lines.back()["items"]) items[item["name"].get<std::string>()] = item;
  return items;
}

// A scan of `home`'s pictures, cache off, with the fault library preloaded
// into the bridge and so into every worker it starts.
BridgeRun scanWithFaults(const TestHome& home, double timeoutSeconds = 120) {
  const fs::path previews = home.scratch() / "previews";
  fs::create_directories(previews);
  RunOptions options;
  options.environment = home.environment();
  options.environment["VELMORA_SCAN_CACHE"] = "off";
  options.environment["LD_PRELOAD"] = VELMORA_WORKER_FAULTS;
  options.timeoutSeconds = timeoutSeconds;
  return runBridge({"scan", previews.string()}, options);
}

TEST(WorkerSandbox, CrashClassFilesLeaveEveryRecordAndTheScanEnds) {
  TestHome home;
  writeFlatJpeg(home.pictures() / "good-1.jpg", 40);
  writeFlatJpeg(home.pictures() / "good-2.jpg", 200);
  const auto hostile = crashClassFiles();
  for (const auto& [name, bytes] : hostile) writeFile(home.pictures() / name, bytes);
  const fs::path previews = home.scratch() / "previews";
  fs::create_directories(previews);

  RunOptions options;
  options.environment = home.environment();
  options.environment["VELMORA_SCAN_CACHE"] = "off";
  options.timeoutSeconds = 100;  // below twice the per-file limit
  const BridgeRun run = runBridge({"scan", previews.string()}, options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_LT(run.peakResidentKb, 2L << 20);  // bridge and workers, under 2 GB
  const auto items = itemsByName(run);
  ASSERT_EQ(items.size(), hostile.size() + 2) << run.out;
  for (const char* good : {"good-1.jpg", "good-2.jpg"}) {
    ASSERT_TRUE(items.contains(good));
    EXPECT_EQ(items.at(good)["width"], 32) << good;
    EXPECT_TRUE(items.at(good).contains("dhash_string")) << good;
  }
  for (const auto& [name, bytes] : hostile) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(items.contains(name));
    EXPECT_FALSE(items.at(name).contains("dhash_string"));
    EXPECT_EQ(items.at(name)["size"], bytes.size());
  }
}

// Each fault file carries a good picture after its first line: a worker
// that survives its fault shows that picture's size in the record.
TEST(WorkerSandbox, AWorkerThatCrashesHangsOrBreaksOutCostsOnlyItsFile) {
  TestHome home;
  writeFlatJpeg(home.pictures() / "good-1.jpg", 40);
  writeFlatJpeg(home.pictures() / "good-2.jpg", 200);
  writeFlatJpeg(home.scratch() / "payload.jpg", 90, 48, 16);
  const std::string payload = readFile(home.scratch() / "payload.jpg");
  const std::map<std::string, std::string> faults = {
      {"crash.jpg", "segv"},
      {"hang.jpg", "hang"},
      {"memory.jpg", "oom"},
      {"open.jpg", "open " + (home.pictures() / "good-1.jpg").string()},
      {"socket.jpg", "socket"},
  };
  for (const auto& [name, kind] : faults) {
    writeFile(home.pictures() / name, "FAULT:" + kind + "\n" + payload);
  }
  const BridgeRun run = scanWithFaults(home, 110);  // the hang costs the per-file limit once
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0);
#ifndef VELMORA_SANITIZED
  // (The sanitizer build lets workers report their crashes on standard
  // error, and these crash on purpose.)
  EXPECT_EQ(run.err, "");
#endif
  const auto items = itemsByName(run);
  ASSERT_EQ(items.size(), faults.size() + 2) << run.out;
  for (const char* good : {"good-1.jpg", "good-2.jpg"}) {
    EXPECT_EQ(items.at(good)["width"], 32) << good;
    EXPECT_TRUE(items.at(good).contains("dhash_string")) << good;
  }
  for (const auto& [name, kind] : faults) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(items.contains(name));
    EXPECT_NE(items.at(name)["width"], 48);  // the worker did not get past its fault
    EXPECT_FALSE(items.at(name).contains("dhash_string"));
  }
}

// The preload itself works: outside the sandbox the same faults let the
// payload through (else the test above would prove nothing).
TEST(WorkerSandbox, ThePayloadShowsWhenTheFaultIsHarmless) {
  TestHome home;
  writeFlatJpeg(home.scratch() / "payload.jpg", 90, 48, 16);
  writeFile(home.pictures() / "harmless.jpg",
            "FAULT:nothing\n" + readFile(home.scratch() / "payload.jpg"));
  const BridgeRun run = scanWithFaults(home);
  EXPECT_EQ(run.status, 0);
  const auto items = itemsByName(run);
  ASSERT_TRUE(items.contains("harmless.jpg")) << run.out;
  EXPECT_EQ(items.at("harmless.jpg")["width"], 48);
}

// The worker role needs the channel its bridge hands it: the variable alone,
// set by whoever starts the bridge, changes nothing.
TEST(WorkerSandbox, TheRoleVariableAloneMakesNoWorker) {
  TestHome home;
  writeFlatJpeg(home.pictures() / "good.jpg", 40);
  const fs::path previews = home.scratch() / "previews";
  fs::create_directories(previews);
  RunOptions options;
  options.environment = home.environment();
  options.environment["VELMORA_WORKER_ROLE"] = "photos";
  const BridgeRun run = runBridge({"scan", previews.string()}, options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  const auto items = itemsByName(run);
  ASSERT_TRUE(items.contains("good.jpg")) << run.out;
  EXPECT_TRUE(items.at("good.jpg").contains("dhash_string"));
}

}  // namespace
}  // namespace velmora::testing
