#include "bridge/photos/catalogs/companion_names.h"

#include <algorithm>
#include <array>
#include <optional>

namespace velmora::photos {

namespace {

constexpr std::string_view supplementalSuffix = "supplemental-metadata";

// Takeout clips a JSON's name (before `.json` and before a copy's number)
// to this many characters; exports of different years used 46 and 51.
constexpr std::size_t shortestClip = 46;
constexpr std::size_t longestClip = 51;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view extensionOf(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

std::string_view stemOf(std::string_view name) { return name.substr(0, name.rfind('.')); }

bool equalsLower(std::string_view text, std::string_view lowerText) {
  return text.size() == lowerText.size() &&
         std::equal(text.begin(), text.end(), lowerText.begin(),
                    [](char a, char b) { return lower(a) == b; });
}

enum class Companion { none, takeoutJson, thumbnail, lowResolution, clipXml, droneSubtitles };

Companion companionKind(std::string_view name) {
  if (name.empty() || name.front() == '.') return Companion::none;
  const std::string_view extension = extensionOf(name);
  if (stemOf(name).empty()) return Companion::none;
  if (equalsLower(extension, "json")) return Companion::takeoutJson;
  if (equalsLower(extension, "thm")) return Companion::thumbnail;
  if (equalsLower(extension, "lrv") || equalsLower(extension, "lrf")) {
    return Companion::lowResolution;
  }
  if (equalsLower(extension, "xml")) return Companion::clipXml;
  if (equalsLower(extension, "srt")) return Companion::droneSubtitles;
  return Companion::none;
}

bool allDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "IMG(12)" -> {"IMG", "12"}; no value without a trailing copy number.
std::optional<std::pair<std::string_view, std::string_view>> splitCopyNumber(
    std::string_view text) {
  if (text.size() < 3 || text.back() != ')') return std::nullopt;
  const std::size_t open = text.rfind('(');
  if (open == std::string_view::npos || open == 0) return std::nullopt;
  const std::string_view digits = text.substr(open + 1, text.size() - open - 2);
  if (!allDigits(digits) || digits.size() > 4) return std::nullopt;
  return std::pair{text.substr(0, open), digits};
}

// Whether `body` (a JSON's name without `.json` and without a copy number)
// names the file `name`.
bool bodyFits(std::string_view body, std::string_view name) {
  if (body.size() < name.size()) {
    // Clipped inside the photo's own name (older exports).
    return body.size() >= shortestClip && body.size() <= longestClip && name.starts_with(body);
  }
  if (!body.starts_with(name)) return false;
  std::string_view rest = body.substr(name.size());
  if (rest.empty()) return true;
  if (rest.front() != '.') return false;
  rest.remove_prefix(1);
  if (rest.empty()) return body.size() >= shortestClip && body.size() <= longestClip;
  return supplementalSuffix.starts_with(rest);
}

// Whether the JSON `json` describes the media file `name`.
bool jsonFits(std::string_view json, std::string_view name) {
  const std::string_view body = json.substr(0, json.size() - 5);  // without ".json"
  if (bodyFits(body, name)) return true;
  // A numbered copy: "IMG(1).jpg" is described by "IMG.jpg(1).json" or
  // "IMG.jpg.supplemental-metadata(1).json".
  const auto numberedJson = splitCopyNumber(body);
  const std::size_t dot = name.rfind('.');
  if (!numberedJson || dot == std::string_view::npos) return false;
  const auto numberedName = splitCopyNumber(name.substr(0, dot));
  if (!numberedName || numberedName->second != numberedJson->second) return false;
  const std::string original = std::string(numberedName->first) + std::string(name.substr(dot));
  return bodyFits(numberedJson->first, original);
}

// The original of an edited copy that Takeout exports beside it
// ("IMG-edited.jpg", in German "IMG-bearbeitet.jpg"); no value for others.
std::optional<std::string> originalOfEditedCopy(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const std::string_view stem = name.substr(0, dot);
  for (const std::string_view marker :
       {std::string_view("-edited"), std::string_view("-bearbeitet")}) {
    if (stem.size() > marker.size() && stem.ends_with(marker)) {
      return std::string(stem.substr(0, stem.size() - marker.size())) +
             std::string(name.substr(dot));
    }
  }
  return std::nullopt;
}

// The video stems a camera companion fits (before they are looked up).
std::vector<std::string> videoStemsFor(Companion kind, std::string_view name) {
  const std::string_view stem = stemOf(name);
  std::vector<std::string> stems;
  switch (kind) {
    case Companion::thumbnail:
    case Companion::lowResolution:
      stems.emplace_back(stem);
      // GoPro (HERO5 and later): "GL010034.LRV" is the low-resolution copy
      // of "GX010034.MP4" (HEVC) or "GH010034.MP4" (AVC).
      if (stem.size() == 8 && stem.starts_with("GL") && allDigits(stem.substr(2))) {
        stems.push_back("GX" + std::string(stem.substr(2)));
        stems.push_back("GH" + std::string(stem.substr(2)));
      }
      break;
    case Companion::clipXml:
      // Sony: "C0001M01.XML" describes "C0001.MP4".
      if (stem.size() > 3 && stem[stem.size() - 3] == 'M' &&
          allDigits(stem.substr(stem.size() - 2))) {
        stems.emplace_back(stem.substr(0, stem.size() - 3));
      }
      break;
    case Companion::droneSubtitles:
      // DJI writes the flight log of "DJI_0001.MP4" as "DJI_0001.SRT"; other
      // subtitles beside a film are the user's own.
      if (stem.starts_with("DJI_")) stems.emplace_back(stem);
      break;
    default:
      break;
  }
  return stems;
}

}  // namespace

bool mayBeCompanion(std::string_view name) { return companionKind(name) != Companion::none; }

std::string companionTypeIdentifier(std::string_view name) {
  switch (companionKind(name)) {
    case Companion::takeoutJson:
      return "public.json";
    case Companion::thumbnail:
      return "public.jpeg";
    case Companion::lowResolution:
      return "public.mpeg-4";
    case Companion::clipXml:
      return "public.xml";
    case Companion::droneSubtitles:
      return "public.plain-text";
    case Companion::none:
      break;
  }
  return {};
}

CompanionClaims claimCompanions(const std::vector<std::string>& media,
                                const std::vector<std::string>& videos,
                                const std::vector<std::string>& candidates) {
  CompanionClaims claims;
  std::map<std::string, std::vector<std::string>, std::less<>> videosByStem;
  for (const std::string& video : videos) videosByStem[std::string(stemOf(video))].push_back(video);

  // Edited copies and the originals whose JSON they read.
  std::vector<std::pair<std::string, std::string>> editedCopies;
  for (const std::string& name : media) {
    if (auto original = originalOfEditedCopy(name)) editedCopies.emplace_back(name, *original);
  }

  for (const std::string& candidate : candidates) {
    const Companion kind = companionKind(candidate);
    if (kind == Companion::none) continue;
    if (kind == Companion::takeoutJson) {
      const std::string* fitting = nullptr;
      std::size_t fits = 0;
      for (const std::string& name : media) {
        if (jsonFits(candidate, name)) {
          fitting = &name;
          ++fits;
        }
      }
      if (fits == 1) claims.owner.emplace(candidate, *fitting);
      for (const auto& [copy, original] : editedCopies) {
        if (!jsonFits(candidate, original)) continue;
        // Read only when the original is the one file the JSON fits.
        if (fits == 0 || (fits == 1 && *fitting == original)) {
          claims.readOnly[copy].push_back(candidate);
        }
      }
      continue;
    }
    std::vector<std::string> owners;
    for (const std::string& stem : videoStemsFor(kind, candidate)) {
      const auto found = videosByStem.find(stem);
      if (found != videosByStem.end()) {
        owners.insert(owners.end(), found->second.begin(), found->second.end());
      }
    }
    if (owners.size() == 1) claims.owner.emplace(candidate, owners.front());
  }
  return claims;
}

}  // namespace velmora::photos
