#include "semantic/object_classifier.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <numeric>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>
#include <vips/vips8>

#include "base/deadline.h"
#include "base/regular_file.h"
#include "base/vips.h"

namespace velmora::semantic {

namespace {

void silenceOpenCv() {
  static std::once_flag once;
  std::call_once(once, [] { cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT); });
}

std::string vipsFailure(const char* what) {
  vips_error_clear();
  return what;
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
  const base::Deadline deadline;
  if (!base::ensureVips()) {
    error = "Bildbibliothek nicht verfügbar";
    return {};
  }
  // Read by us, not by file name: libvips would take a name ending in
  // "[...]" as load options.
  std::string bytes;
  if (!base::readRegularFile(path, bytes, maxImageFileBytes) || bytes.empty()) {
    error = "Bilddatei nicht lesbar";
    return {};
  }
  VipsBlob* blob = vips_blob_new(nullptr, bytes.data(), bytes.size());
  try {
    // The header alone first: a file that claims an absurd size is refused
    // before anything is decoded.
    vips::VImage header = vips::VImage::new_from_buffer(
        bytes.data(), bytes.size(), "", vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    if (!base::withinPixelLimit(static_cast<std::uint64_t>(header.width()),
                                  static_cast<std::uint64_t>(header.height()))) {
      vips_area_unref(VIPS_AREA(blob));
      error = "Bild zu groß oder beschädigt";
      return {};
    }
    vips::VImage image = vips::VImage::thumbnail_buffer(
        blob, detectorSide,
        vips::VImage::option()->set("height", detectorSide)->set("fail_on", VIPS_FAIL_ON_ERROR));
    if (image.interpretation() != VIPS_INTERPRETATION_sRGB) {
      image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    }
    if (image.has_alpha()) {
      image = image.flatten(vips::VImage::option()->set("background", std::vector<double>{0, 0, 0}));
    }
    if (image.bands() > 3) image = image.extract_band(0, vips::VImage::option()->set("n", 3));
    if (image.bands() == 1) image = image.bandjoin({image, image});
    image = image.cast(VIPS_FORMAT_UCHAR);
    image = image.embed((detectorSide - image.width()) / 2, (detectorSide - image.height()) / 2,
                        detectorSide, detectorSide,
                        vips::VImage::option()->set("extend", VIPS_EXTEND_BLACK));
    size_t size = 0;
    void* memory = nullptr;
    {
      // A picture that decodes for too long is given up like a broken one.
      const base::DeadlineWatch watch(image.get_image(), deadline);
      memory = image.write_to_memory(&size);
    }
    vips_area_unref(VIPS_AREA(blob));
    std::vector<unsigned char> pixels(static_cast<unsigned char*>(memory),
                                      static_cast<unsigned char*>(memory) + size);
    g_free(memory);
    if (pixels.size() != static_cast<size_t>(detectorSide) * detectorSide * 3) {
      error = "Bild nicht lesbar";
      return {};
    }
    return pixels;
  } catch (const std::exception&) {
    vips_area_unref(VIPS_AREA(blob));
    error = vipsFailure("Bild nicht lesbar");
    return {};
  }
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
