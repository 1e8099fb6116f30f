#pragma once
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "semantic/classifier.h"

namespace velmora::semantic {

// The converted detector's file name; the build puts it beside the bridge.
inline constexpr const char* modelFileName = "velmora-bridge-objects.pb";

// Side of the square the detector looks at.
inline constexpr int detectorSide = 512;

// Image files beyond this are refused unread.
inline constexpr std::uintmax_t maxImageFileBytes = std::uintmax_t{512} << 20;

// The graph nodes the converted model keeps: the class heatmap (one channel
// per label, sigmoid scores) and the box sizes.
std::vector<std::string> detectorOutputs();

// The 80 label identifiers, in the detector's channel order.
const std::vector<std::string>& objectLabels();

// Where the running bridge looks for the model: beside its executable, else
// in ../share/velmora-bridge relative to it. Empty when neither exists.
std::filesystem::path installedModelFile();

// Classifies with the COCO object detector: an image's labels are the
// object classes seen in it, each with its highest score anywhere in the
// picture, best first. The model is loaded on first use and kept for the
// rest of the run; when it cannot be loaded every image fails with why.
class ObjectClassifier final : public Classifier {
 public:
  explicit ObjectClassifier(std::filesystem::path modelFile);
  // From a GraphDef already in memory.
  static std::unique_ptr<ObjectClassifier> fromGraphDef(const std::string& graphDef);
  ~ObjectClassifier() override;

  Classification classify(const std::string& path) override;

  // One score per label for a detectorSide x detectorSide RGB image (8 bits
  // per channel, rows packed); empty with `error` set on failure.
  std::vector<float> scores(const unsigned char* rgb, std::string& error);

 private:
  struct Model;
  bool ensureLoaded(std::string& error);

  std::filesystem::path modelFile_;
  std::string graphDef_;
  std::unique_ptr<Model> model_;
  bool attempted_ = false;
  std::string loadError_;
};

// Decodes an image file (orientation applied), fits it into the square with
// its aspect kept and centres it on black. Empty with `error` on failure.
std::vector<unsigned char> detectorInput(const std::string& path, std::string& error);

}  // namespace velmora::semantic
