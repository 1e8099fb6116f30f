// The semantic request as the action reads it, with a classifier that
// answers at once: whatever the file holds, the run writes only JSON
// objects, progress before each item, and ends with one final line (the
// summary with status 0, or an error with status 1).
#include <cstdlib>
#include <string>

#include "bridge/emit.h"
#include "fuzz_file.h"
#include "semantic/semantic_action.h"

namespace {

// Succeeds for paths that end in "ok", with labels taken from the path.
class InstantClassifier final : public velmora::semantic::Classifier {
 public:
  velmora::semantic::Classification classify(const std::string& path) override {
    velmora::semantic::Classification result;
    result.ok = path.size() >= 2 && path.ends_with("ok");
    if (!result.ok) {
      result.error = path.size() > 8 ? path.substr(0, 8) : std::string();
      return result;
    }
    for (std::size_t i = 0; i < path.size() && i < 20; ++i) {
      result.results.push_back({path.substr(i, 3), static_cast<float>(path[i]) / 100.0f});
    }
    return result;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using velmora::bridge::Json;
  InstantClassifier classifier;
  std::vector<Json> lines;
  const int status = velmora::semantic::classifyRequest(
      velmora::fuzz::asFile(data, size), classifier, [&](const Json& line) {
        // Every line must serialise: the output channel never throws.
        if (velmora::bridge::jsonLine(line).back() != '\n') std::abort();
        lines.push_back(line);
      });
  if (lines.empty() || (status != 0 && status != 1)) std::abort();
  const Json& last = lines.back();
  if (!last.is_object()) std::abort();
  if ((status == 1) != last.contains("error")) std::abort();
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    if (!lines[i].is_object() || lines[i].contains("error")) std::abort();
  }
  return 0;
}
