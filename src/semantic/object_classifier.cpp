#include "semantic/object_classifier.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <numeric>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>

#include "base/regular_file.h"
#include "base/square_rgb.h"
#include "bridge/photos/isolated.h"

namespace velmora::semantic {

namespace {

void silenceOpenCv() {
  static std::once_flag once;
  std::call_once(once, [] { cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT); });
}

}  // namespace

std::vector<std::string> detectorOutputs() { return {"tower_0/Sigmoid", "tower_0/mul"}; }

const std::vector<std::string>& objectLabels() {
  static const std::vector<std::string> labels = {
      "person",        "bicycle",      "car",           "motorcycle",    "airplane",
      "bus",           "train",        "truck",         "boat",          "traffic light",
      "fire hydrant",  "stop sign",    "parking meter", "bench",         "bird",
      "cat",           "dog",          "horse",         "sheep",         "cow",
      "elephant",      "bear",         "zebra",         "giraffe",       "backpack",
      "umbrella",      "handbag",      "tie",           "suitcase",      "frisbee",
      "skis",          "snowboard",    "sports ball",   "kite",          "baseball bat",
      "baseball glove", "skateboard",  "surfboard",     "tennis racket", "bottle",
      "wine glass",    "cup",          "fork",          "knife",         "spoon",
      "bowl",          "banana",       "apple",         "sandwich",      "orange",
      "broccoli",      "carrot",       "hot dog",       "pizza",         "donut",
      "cake",          "chair",        "couch",         "potted plant",  "bed",
      "dining table",  "toilet",       "tv",            "laptop",        "mouse",
      "remote",        "keyboard",     "cell phone",    "microwave",     "oven",
      "toaster",       "sink",         "refrigerator",  "book",          "clock",
      "vase",          "scissors",     "teddy bear",    "hair drier",    "toothbrush"};
  return labels;
}

std::filesystem::path installedModelFile() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  const std::filesystem::path dir = exe.parent_path();
  for (const std::filesystem::path& candidate :
       {dir / modelFileName, dir / ".." / "share" / "velmora-bridge" / modelFileName}) {
    if (std::filesystem::is_regular_file(candidate, error)) return candidate;
  }
  return {};
}

std::vector<unsigned char> detectorInput(const std::string& path, std::string& error) {
  // Decoded in a worker process (base/square_rgb.h does the work there).
  const photos::IsolatedRead<photos::SquareRgb> read =
      photos::isolatedSquareRgb(path, detectorSide, maxImageFileBytes);
  if (read.value && read.value->failure == base::SquareFailure::none) return read.value->pixels;
  switch (read.value ? read.value->failure : base::SquareFailure::undecodable) {
    case base::SquareFailure::noLibrary:
      error = "Bildbibliothek nicht verfügbar";
      break;
    case base::SquareFailure::tooLarge:
      error = "Bild zu groß oder beschädigt";
      break;
    case base::SquareFailure::none:
    case base::SquareFailure::undecodable:
      error = "Bild nicht lesbar";
      break;
    case base::SquareFailure::unreadable:
      error = "Bilddatei nicht lesbar";
      break;
  }
  // A file that cannot be opened never reaches a worker.
  if (!read.value && !read.workerFailed) error = "Bilddatei nicht lesbar";
  return {};
}

struct ObjectClassifier::Model {
  cv::dnn::Net net;
};

ObjectClassifier::ObjectClassifier(std::filesystem::path modelFile) : modelFile_(std::move(modelFile)) {}

std::unique_ptr<ObjectClassifier> ObjectClassifier::fromGraphDef(const std::string& graphDef) {
  auto classifier = std::make_unique<ObjectClassifier>(std::filesystem::path());
  classifier->graphDef_ = graphDef;
  return classifier;
}

ObjectClassifier::~ObjectClassifier() = default;

bool ObjectClassifier::ensureLoaded(std::string& error) {
  // OpenCV's TensorFlow importer is not safe to run on two threads at once
  // (two networks loading side by side corrupt the heap); running networks
  // side by side is.
  static std::mutex loading;
  if (!attempted_) {
    const std::lock_guard lock(loading);
    attempted_ = true;
    silenceOpenCv();
    std::string bytes = graphDef_;
    if (bytes.empty()) {
      if (modelFile_.empty()) {
        loadError_ = std::string("Erkennungsmodell fehlt: ") + modelFileName +
                     " liegt nicht neben dem Programm (Einrichtung ausführen und neu bauen)";
      } else if (!base::readRegularFile(modelFile_.string(), bytes, std::uintmax_t{1} << 30) || bytes.empty()) {
        loadError_ = "Erkennungsmodell nicht lesbar: " + modelFile_.string();
      }
    }
    if (loadError_.empty()) {
      try {
        auto model = std::make_unique<Model>();
        model->net = cv::dnn::readNetFromTensorflow(bytes.data(), bytes.size());
        if (model->net.empty()) {
          loadError_ = "Erkennungsmodell leer: " + modelFile_.string();
        } else {
          model->net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
          model->net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
          model_ = std::move(model);
        }
      } catch (const std::exception&) {
        loadError_ = "Erkennungsmodell beschädigt: " + modelFile_.string();
      }
    }
    graphDef_.clear();
  }
  if (!model_) error = loadError_;
  return model_ != nullptr;
}

std::vector<float> ObjectClassifier::scores(const unsigned char* rgb, std::string& error) {
  if (!ensureLoaded(error)) return {};
  try {
    const cv::Mat image(detectorSide, detectorSide, CV_8UC3, const_cast<unsigned char*>(rgb));
    // Raw 0..255 values in RGB order: the detector normalises by itself.
    const cv::Mat blob = cv::dnn::blobFromImage(image, 1.0, cv::Size(), cv::Scalar(), false, false, CV_32F);
    model_->net.setInput(blob);
    const cv::Mat heatmap = model_->net.forward(detectorOutputs()[0]);
    const size_t labelCount = objectLabels().size();
    if (heatmap.dims != 4 || heatmap.type() != CV_32F) {
      error = "unerwartete Modellausgabe";
      return {};
    }
    std::vector<float> best(labelCount, 0.0f);
    const float* data = heatmap.ptr<float>();
    if (static_cast<size_t>(heatmap.size[1]) == labelCount) {  // channels first
      const size_t plane = static_cast<size_t>(heatmap.size[2]) * static_cast<size_t>(heatmap.size[3]);
      for (size_t label = 0; label < labelCount; ++label) {
        best[label] = *std::max_element(data + label * plane, data + (label + 1) * plane);
      }
    } else if (static_cast<size_t>(heatmap.size[3]) == labelCount) {  // channels last
      const size_t cells = static_cast<size_t>(heatmap.size[1]) * static_cast<size_t>(heatmap.size[2]);
      for (size_t cell = 0; cell < cells; ++cell) {
        for (size_t label = 0; label < labelCount; ++label) {
          best[label] = std::max(best[label], data[cell * labelCount + label]);
        }
      }
    } else {
      error = "unerwartete Modellausgabe";
      return {};
    }
    return best;
  } catch (const std::exception&) {
    error = "Erkennungsmodell nicht ausführbar";
    return {};
  }
}

Classification ObjectClassifier::classify(const std::string& path) {
  Classification result;
  if (!ensureLoaded(result.error)) return result;
  const std::vector<unsigned char> pixels = detectorInput(path, result.error);
  if (pixels.empty()) return result;
  const std::vector<float> best = scores(pixels.data(), result.error);
  if (best.empty()) return result;

  std::vector<size_t> order(best.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return best[a] > best[b]; });
  for (size_t label : order) {
    // A sigmoid score; anything outside 0..1 (NaN included) is not one.
    if (!(best[label] >= 0.0f && best[label] <= 1.0f)) continue;
    result.results.push_back({objectLabels()[label], best[label]});
  }
  result.ok = true;
  return result;
}

}  // namespace velmora::semantic
