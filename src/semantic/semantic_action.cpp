#include "semantic/semantic_action.h"

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "bridge/messages.h"
#include "base/ordered_work.h"
#include "base/json_request.h"
#include "semantic/object_classifier.h"

namespace velmora::semantic {

namespace {

using bridge::Json;

constexpr double confidenceThreshold = 0.15;
constexpr std::size_t maxLabels = 12;
// Networks held at once at most, whatever the number of processors.
constexpr unsigned maxSemanticWorkers = 4;

// The request's `items`; false when the file cannot be read, is not
// strict JSON (base/json_request.h), or has no array there.
bool requestItems(const std::string& requestFile, Json& items) {
  std::optional<Json> request = base::readJsonRequest(requestFile);
  if (!request || !request->is_object() || !request->contains("items")) return false;
  Json& found = (*request)["items"];
  if (!found.is_array()) return false;
  items = std::move(found);
  return true;
}

// Accepted labels in the classifier's order: at or above the threshold
// (compared in double precision, so the float nearest 0.15 passes), at
// most maxLabels.
Json acceptedLabels(const std::vector<ClassifierResult>& results) {
  Json labels = Json::array();
  for (const ClassifierResult& result : results) {
    const double confidence = static_cast<double>(result.confidence);
    // JSON has no number for NaN or infinity; such a value is no confidence.
    if (!std::isfinite(confidence) || confidence < confidenceThreshold) continue;
    labels.push_back(Json{{"label", result.identifier}, {"confidence", confidence}});
    if (labels.size() == maxLabels) break;
  }
  return labels;
}

Classification classifyItem(const Json& item, Classifier& classifier) {
  Classification failed;
  if (!item.is_object()) {
    failed.error = "Auftragseintrag ist kein Objekt";
    return failed;
  }
  auto path = item.find("path");
  if (path == item.end() || !path->is_string()) {
    failed.error = "Auftragseintrag ohne Bildpfad";
    return failed;
  }
  return classifier.classify(path->get<std::string>());
}

Json echoed(const Json& item, const char* key) {
  if (!item.is_object()) return nullptr;
  auto found = item.find(key);
  return found == item.end() ? Json(nullptr) : *found;
}

}  // namespace

int classifyRequest(const std::string& requestFile, Classifier& classifier, const bridge::Emitter& emit) {
  return classifyRequest(
      requestFile, [&classifier](unsigned) -> Classifier& { return classifier; }, 1, emit);
}

int classifyRequest(const std::string& requestFile, const ClassifierForWorker& classifierFor,
                    unsigned workers, const bridge::Emitter& emit) {
  Json items;
  if (!requestItems(requestFile, items)) {
    emit(bridge::errorMessage(bridge::messages::semanticRequestInvalid));
    return 1;
  }

  std::uint64_t processed = 0;
  std::uint64_t classified = 0;
  std::uint64_t consecutiveFailures = 0;
  bool stopped = false;
  const auto total = static_cast<unsigned long>(items.size());
  const Json& list = items;  // read from several threads: never the non-const accessors

  // Items are classified side by side, but an item's progress and result
  // lines go out only when it and every item before it are done, so the
  // lines are those of one item after another. Until something succeeds,
  // nothing beyond the third item is begun: the run may stop right after it.
  base::OrderedJob<Classification> job;
  job.mayTake = [&](std::size_t index) { return classified > 0 || index < 3; };
  job.work = [&](unsigned worker, std::size_t index) {
    return classifyItem(list[index], classifierFor(worker));
  };
  job.done = [&](std::size_t index, Classification&& classification) {
    const Json& item = list[index];
    ++processed;
    emit(bridge::progressMessage("Semantische KI", static_cast<unsigned long>(processed), total));
    Json result = {{"id", echoed(item, "id")},
                   {"fingerprint", echoed(item, "fingerprint")},
                   {"model", modelTag},
                   {"ok", classification.ok},
                   {"labels", classification.ok ? acceptedLabels(classification.results) : Json::array()}};
    if (!classification.ok) {
      result["error"] = classification.error.empty() ? std::string(bridge::messages::classificationFailed)
                                                     : classification.error;
    }
    emit(Json{{"semantic_item", std::move(result)}});

    if (classification.ok) {
      ++classified;
      consecutiveFailures = 0;
    } else {
      ++consecutiveFailures;
    }
    if (classified == 0 && consecutiveFailures >= 3) {
      emit(bridge::errorMessage(bridge::messages::classifierFailedEarly));
      stopped = true;
      return false;
    }
    return true;
  };
  // Little is thrown away when the run stops early.
  job.lookAhead = 2 * std::max(workers, 1U);
  base::runInOrder(items.size(), workers, job);
  if (stopped) return 1;

  if (processed > 0 && classified == 0) {
    emit(bridge::errorMessage(bridge::messages::classifierUnavailable));
    return 1;
  }
  emit(Json{{"processed", processed}, {"classified", classified}, {"model", modelTag}});
  return 0;
}

int semanticAction(const bridge::Arguments& arguments, const bridge::Emitter& emit) {
  // One network per worker (each holds about 80 MB), OpenCV's own threads
  // shared out between them.
  const unsigned processors = base::onlineProcessors();
  const unsigned workers = std::min(processors, maxSemanticWorkers);
  cv::setNumThreads(static_cast<int>(std::max(1U, processors / workers)));
  std::vector<std::unique_ptr<ObjectClassifier>> classifiers;
  for (unsigned i = 0; i < workers; ++i) {
    classifiers.push_back(std::make_unique<ObjectClassifier>(installedModelFile()));
  }
  return classifyRequest(
      arguments.at(2), [&classifiers](unsigned worker) -> Classifier& { return *classifiers[worker]; },
      workers, emit);
}

}  // namespace velmora::semantic
