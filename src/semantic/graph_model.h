#pragma once
#include <string>
#include <vector>

namespace velmora::semantic {

struct ConvertedGraph {
  bool ok = false;
  std::string error;     // set when ok is false
  std::string graphDef;  // a serialised TensorFlow GraphDef when ok
};

// Turns a TensorFlow.js graph model (its JSON and the concatenated weights
// file the manifest names) into a frozen TensorFlow GraphDef that OpenCV's
// importer reads. Only the nodes that `outputs` depend on are kept. Fused
// convolutions are split into convolution, bias add and activation, float16
// weights are widened to float32, and int32 and scalar constants are stored
// as value lists, not raw bytes. Never throws.
ConvertedGraph convertGraphModel(const std::string& modelJson, const std::string& weights,
                                 const std::vector<std::string>& outputs);

}  // namespace velmora::semantic
