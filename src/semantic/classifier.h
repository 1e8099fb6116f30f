#pragma once
#include <string>
#include <vector>

namespace velmora::semantic {

struct ClassifierResult {
  std::string identifier;
  float confidence = 0;
};

// The outcome of one classification run on one image file.
struct Classification {
  bool ok = false;
  std::string error;                     // why it failed; may be empty
  std::vector<ClassifierResult> results;  // in the classifier's own order
};

// What the `semantic` action classifies with: one run per image file.
class Classifier {
 public:
  virtual ~Classifier() = default;
  virtual Classification classify(const std::string& path) = 0;
};

}  // namespace velmora::semantic
