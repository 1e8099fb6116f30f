#include "deletion/delete_action.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bridge/messages.h"
#include "base/json_request.h"
#include "deletion/alert.h"
#include "inventory/fingerprint.h"

namespace velmora::deletion {

namespace {

using bridge::Json;
namespace messages = bridge::messages;

struct DeleteCheck {
  std::string id;
  std::optional<std::string> hash;  // no value when absent or not a string: never equal
};

struct DeleteRequest {
  std::vector<std::string> ids;
  std::vector<DeleteCheck> checks;
};

// The assets found, each once: asked for the same identifier twice, the
// library still has only one asset by that name, and the counts then differ
// as they should.
std::vector<photos::Asset> withoutRepeats(std::vector<photos::Asset> assets) {
  std::set<std::string> seen;
  std::erase_if(assets, [&](const photos::Asset& asset) {
    return !seen.insert(asset.localIdentifier).second;
  });
  return assets;
}

// The request, or no value when it is unusable: unreadable, not strict JSON
// (base/json_request.h), not an object, `ids` missing, empty or holding anything but strings, `checks`
// present but not an array of objects that each carry a string `id`. The
// whole shape is checked before the library is asked anything, so that a
// malformed request never gets half way.
std::optional<DeleteRequest> parseRequest(const std::string& path) {
  // Only regular files are read (a pipe or a device could keep the run
  // waiting or reading forever), and a repeated key is no request: which of
  // the two decides what is deleted must not depend on the parser.
  const std::optional<Json> parsed = base::readJsonRequest(path);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const Json& json = *parsed;

  DeleteRequest request;
  const auto ids = json.find("ids");
  if (ids == json.end() || !ids->is_array() || ids->empty()) return std::nullopt;
  for (const Json& id : *ids) {
    if (!id.is_string()) return std::nullopt;
    request.ids.push_back(id.get<std::string>());
  }

  if (const auto checks = json.find("checks"); checks != json.end()) {
    if (!checks->is_array()) return std::nullopt;
    for (const Json& entry : *checks) {
      if (!entry.is_object()) return std::nullopt;
      const auto id = entry.find("id");
      if (id == entry.end() || !id->is_string()) return std::nullopt;
      DeleteCheck check{id->get<std::string>(), std::nullopt};
      if (const auto hash = entry.find("hash"); hash != entry.end() && hash->is_string()) {
        check.hash = hash->get<std::string>();
      }
      request.checks.push_back(std::move(check));
    }
  }
  return request;
}

// The fingerprint the parent application recorded still matches the asset
// as it is now, byte for byte. `found` holds the assets of every check,
// fetched at once: one look per folder, not one per check.
bool checkHolds(photos::PhotoLibrary& library, const std::map<std::string, photos::Asset>& found,
                const DeleteCheck& check) {
  const auto asset = found.find(check.id);
  if (asset == found.end() || !check.hash) return false;
  std::uint64_t size = 0;
  const std::optional<std::string> fingerprint = inventory::resourceHash(library, asset->second, size);
  return fingerprint && *fingerprint == *check.hash;
}

// What refuses the selection after it was found: a favourite among it, or
// a fingerprint that no longer holds; no value when neither.
std::optional<std::string> refusal(photos::PhotoLibrary& library,
                                   const std::vector<photos::Asset>& selection,
                                   const DeleteRequest& request) {
  // Every asset is looked at, even after a favourite was found. A rating
  // that cannot be read may be five stars: such an asset is not deleted.
  bool favorite = false;
  for (const photos::Asset& asset : selection) {
    const photos::AssetAttributes attributes = library.attributes(asset);
    if (attributes.isFavorite || attributes.favoriteUnknown) favorite = true;
  }
  if (favorite) return messages::selectionHasFavorite;

  if (!request.checks.empty()) {
    std::vector<std::string> checked;
    checked.reserve(request.checks.size());
    for (const DeleteCheck& check : request.checks) checked.push_back(check.id);
    std::map<std::string, photos::Asset> found;
    for (photos::Asset& asset : library.fetchByIdentifiers(checked)) {
      std::string id = asset.localIdentifier;
      found.emplace(std::move(id), std::move(asset));
    }
    for (const DeleteCheck& check : request.checks) {
      if (!checkHolds(library, found, check)) return messages::duplicateCheckChanged;
    }
  }
  return std::nullopt;
}

int fail(const bridge::Emitter& emit, const std::string& text) {
  emit(bridge::errorMessage(text));
  return 1;
}

int verifyAndDelete(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
                    const bridge::Emitter& emit, Confirmation& confirmation) {
  const std::optional<DeleteRequest> request = parseRequest(arguments.at(2));
  if (!request) return fail(emit, messages::selectionInvalid);

  const std::vector<photos::Asset> selection =
      withoutRepeats(library.fetchByIdentifiers(request->ids));
  if (selection.size() != request->ids.size()) return fail(emit, messages::selectionChanged);

  if (const std::optional<std::string> refused = refusal(library, selection, *request)) {
    return fail(emit, *refused);
  }

  bool confirmed = selection.size() == 1;
  if (!confirmed) confirmed = confirmation.confirm(selection.size());
  if (!confirmed) return fail(emit, messages::cancelled);

  // The same checks once more, under the change's lock, right before the
  // first move: the dialog may have been open for long.
  const photos::ChangeResult change = library.deleteAssets(
      selection, [&] { return refusal(library, selection, *request); });
  if (!change.succeeded) {
    if (change.selectionChanged) return fail(emit, messages::selectionChanged);
    const bool described = change.errorDescription && !change.errorDescription->empty();
    return fail(emit, described ? *change.errorDescription : messages::deletionFailed);
  }
  emit(Json{{"moved", selection.size()}, {"errors", Json::array()}});
  return 0;
}

}  // namespace

int deleteAction(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
                 const bridge::Emitter& emit, Confirmation& confirmation) {
  try {
    return verifyAndDelete(arguments, library, emit, confirmation);
  } catch (...) {
    // Nothing has been reported yet: every line above ends the run at once.
    return fail(emit, messages::deletionFailed);
  }
}

int deleteAction(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
                 const bridge::Emitter& emit, bridge::MainThread* mainThread) {
  AlertConfirmation confirmation(mainThread);
  return deleteAction(arguments, library, emit, confirmation);
}

}  // namespace velmora::deletion
