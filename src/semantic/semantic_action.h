#pragma once
#include <functional>
#include <string>

#include "bridge/arguments.h"
#include "bridge/emit.h"
#include "semantic/classifier.h"

namespace velmora::semantic {

// The tag every result carries; it names the classifier revision the parent
// application expects, not the model that actually runs.
inline constexpr const char* modelTag = "apple-vision-classify-r2";

// `semantic <request.json>`: labels for each listed preview image.
// Returns the exit status.
int semanticAction(const bridge::Arguments& arguments, const bridge::Emitter& emit);

// The action's body with the classifier given: reads the request file,
// classifies its items in order, writes progress, one result line per item
// and the final line. Returns the exit status.
int classifyRequest(const std::string& requestFile, Classifier& classifier,
                    const bridge::Emitter& emit);

// The classifier that worker `worker` (0 .. workers-1) uses; workers never
// share one.
using ClassifierForWorker = std::function<Classifier&(unsigned worker)>;

// The same on several workers at once; the lines and the status do not
// depend on their number.
int classifyRequest(const std::string& requestFile, const ClassifierForWorker& classifierFor,
                    unsigned workers, const bridge::Emitter& emit);

}  // namespace velmora::semantic
