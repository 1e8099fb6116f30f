#include "semantic/graph_model.h"

#include <cstdint>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/dnn.hpp>

#include "semantic/model_files.h"
#include "semantic/object_classifier.h"
#include "support/temp_dir.h"

namespace velmora::semantic {
namespace {

using Json = nlohmann::json;

std::string halves(std::initializer_list<std::uint16_t> values) {
  std::string bytes;
  for (std::uint16_t value : values) {
    bytes.push_back(static_cast<char>(value & 0xff));
    bytes.push_back(static_cast<char>(value >> 8));
  }
  return bytes;
}

// Placeholder -> fused 1x1 convolution with bias and Relu, float16 weights:
// out = relu(1 * x0 - 2 * x1 + 0.5).
Json tinyModel(const std::string& quantization = "float16") {
  return Json::parse(R"({
    "modelTopology": {"node": [
      {"name": "in", "op": "Placeholder", "attr": {"dtype": {"type": "DT_FLOAT"},
        "shape": {"shape": {"dim": [{"size": "1"}, {"size": "4"}, {"size": "4"}, {"size": "2"}]}}}},
      {"name": "w", "op": "Const", "attr": {"dtype": {"type": "DT_FLOAT"}, "value": {"tensor": {}}}},
      {"name": "b", "op": "Const", "attr": {"dtype": {"type": "DT_FLOAT"}, "value": {"tensor": {}}}},
      {"name": "unused", "op": "Const", "attr": {"dtype": {"type": "DT_INT32"}, "value": {"tensor": {}}}},
      {"name": "out", "op": "_FusedConv2D", "input": ["in", "w", "b"], "attr": {
        "T": {"type": "DT_FLOAT"}, "num_args": {"i": "1"}, "epsilon": {"f": 0},
        "fused_ops": {"list": {"s": ["Qmlhc0FkZA==", "UmVsdQ=="]}},
        "strides": {"list": {"i": ["1", "1", "1", "1"]}}, "padding": {"s": "U0FNRQ=="},
        "data_format": {"s": "TkhXQw=="}, "dilations": {"list": {"i": ["1", "1", "1", "1"]}},
        "explicit_paddings": {"list": {}}, "_grappler": {"b": true}}}
    ]},
    "weightsManifest": [{"paths": ["tiny.bin"], "weights": [
      {"name": "w", "shape": [1, 1, 2, 1], "dtype": "float32",
       "quantization": {"dtype": ")" + quantization + R"(", "original_dtype": "float32"}},
      {"name": "b", "shape": [1], "dtype": "float32",
       "quantization": {"dtype": ")" + quantization + R"(", "original_dtype": "float32"}},
      {"name": "unused", "shape": [2], "dtype": "int32"}
    ]}]
  })");
}

const std::string tinyWeights = halves({0x3c00, 0xc000, 0x3800}) + std::string(8, '\0');

TEST(GraphModel, SplitFusedConvolutionComputesWhatTheFusedOneDid) {
  const ConvertedGraph converted = convertGraphModel(tinyModel().dump(), tinyWeights, {"out"});
  ASSERT_TRUE(converted.ok) << converted.error;
  cv::dnn::Net net = cv::dnn::readNetFromTensorflow(converted.graphDef.data(), converted.graphDef.size());
  ASSERT_FALSE(net.empty());

  const int shape[] = {1, 2, 4, 4};  // NCHW, as OpenCV takes it
  cv::Mat input(4, shape, CV_32F);
  float* x = input.ptr<float>();
  for (int i = 0; i < 16; ++i) {
    x[i] = static_cast<float>(i);           // channel 0
    x[16 + i] = static_cast<float>(i % 5);  // channel 1
  }
  net.setInput(input);
  const cv::Mat out = net.forward("out");
  ASSERT_EQ(out.total(), 16u);
  for (int i = 0; i < 16; ++i) {
    const float expected = std::max(0.0f, static_cast<float>(i) - 2.0f * static_cast<float>(i % 5) + 0.5f);
    EXPECT_FLOAT_EQ(out.ptr<float>()[i], expected) << i;
  }
}

TEST(GraphModel, BrokenModelsAreReportedNotThrown) {
  struct Case {
    const char* what;
    std::string json;
    std::string weights;
    std::vector<std::string> outputs;
  };
  const Case cases[] = {
      {"weights file too short", tinyModel().dump(), tinyWeights.substr(0, 5), {"out"}},
      {"output not in the graph", tinyModel().dump(), tinyWeights, {"missing"}},
      {"not JSON", "{", tinyWeights, {"out"}},
      {"no topology", R"({"weightsManifest": []})", tinyWeights, {"out"}},
      {"unsupported quantisation", tinyModel("uint8").dump(), tinyWeights, {"out"}},
  };
  for (const Case& c : cases) {
    const ConvertedGraph converted = convertGraphModel(c.json, c.weights, c.outputs);
    EXPECT_FALSE(converted.ok) << c.what;
    EXPECT_FALSE(converted.error.empty()) << c.what;
  }
}

// Class maxima of the detector's heatmap for the fixed input below,
// computed by running the TensorFlow.js graph op by op in an independent
// plain implementation (float16 weights widened, TF "SAME" padding,
// half-pixel-free bilinear resizing); tools/reference_heatmap.js recomputes
// them.
const float referenceMaxima[80] = {
    0.11358f, 0.05859f, 0.09211f, 0.04353f, 0.0766f,  0.05115f, 0.07943f, 0.11202f, 0.16936f, 0.03832f,
    0.05801f, 0.16324f, 0.07964f, 0.09446f, 0.0949f,  0.05102f, 0.06331f, 0.06081f, 0.02547f, 0.02427f,
    0.05505f, 0.04719f, 0.01201f, 0.01844f, 0.02512f, 0.29052f, 0.03052f, 0.01489f, 0.08363f, 0.13937f,
    0.01707f, 0.02988f, 0.04556f, 0.18317f, 0.04228f, 0.03603f, 0.04164f, 0.15796f, 0.027f,   0.02879f,
    0.00962f, 0.02183f, 0.01223f, 0.02545f, 0.02006f, 0.0963f,  0.09914f, 0.05114f, 0.03023f, 0.04756f,
    0.0185f,  0.02658f, 0.05149f, 0.05287f, 0.03331f, 0.08269f, 0.04098f, 0.02193f, 0.06424f, 0.05083f,
    0.07373f, 0.02089f, 0.04135f, 0.03831f, 0.01498f, 0.00833f, 0.02347f, 0.02928f, 0.02494f, 0.03498f,
    0.01446f, 0.01172f, 0.03315f, 0.06135f, 0.07638f, 0.02889f, 0.07188f, 0.03758f, 0.00988f, 0.01759f};

std::vector<unsigned char> fixedInput() {
  std::vector<unsigned char> rgb(static_cast<size_t>(detectorSide) * detectorSide * 3);
  for (int y = 0; y < detectorSide; ++y) {
    for (int x = 0; x < detectorSide; ++x) {
      for (int c = 0; c < 3; ++c) {
        const int value = (x * (c + 1) * 7 + y * (3 - c) * 5 + ((x >> 5) ^ (y >> 5)) * 40) % 256;
        rgb[(static_cast<size_t>(y) * detectorSide + static_cast<size_t>(x)) * 3 + static_cast<size_t>(c)] =
            static_cast<unsigned char>(value);
      }
    }
  }
  return rgb;
}

TEST(GraphModel, ConvertedDetectorMatchesTheReferenceOnAFixedInput) {
  const auto json = testing::fetchedModel();
  if (json.empty()) {
    GTEST_SKIP() << "detector model not fetched (scripts/setup.sh)";
  }
  const std::string weights = testing::readFile(json.parent_path() / "centernet.bin");
  const ConvertedGraph converted = convertGraphModel(testing::readFile(json), weights, detectorOutputs());
  ASSERT_TRUE(converted.ok) << converted.error;

  // The build's file is this very conversion.
  const auto built = testing::convertedModel();
  if (!built.empty()) {
    EXPECT_TRUE(testing::readFile(built) == converted.graphDef);
  }

  auto classifier = ObjectClassifier::fromGraphDef(converted.graphDef);
  std::string error;
  const std::vector<float> maxima = classifier->scores(fixedInput().data(), error);
  ASSERT_EQ(maxima.size(), 80u) << error;
  for (size_t label = 0; label < 80; ++label) {
    EXPECT_NEAR(maxima[label], referenceMaxima[label], 2e-3) << objectLabels()[label];
  }
}

}  // namespace
}  // namespace velmora::semantic
