#include "bridge/photos/screenshot.h"

namespace velmora::photos {

namespace {

// Name beginnings as the tools write them: '#' stands for a digit, '?' for
// '-' or ':' (older GNOME versions wrote colons), anything else for itself.
constexpr std::string_view screenshotNames[] = {
    "Screenshot from ####-##-## ##?##?##",     // GNOME
    "Bildschirmfoto vom ####-##-## ##?##?##",  // GNOME, German
    "Screenshot_########_######",              // KDE Spectacle
    "Screenshot_########-######",              // Android
    "Screenshot ####-##-## at #",              // macOS
    "Screen Shot ####-##-## at #",             // macOS before 10.14
    "Bildschirmfoto ####-##-## um #",          // macOS, German
};

bool startsLike(std::string_view name, std::string_view pattern) {
  if (name.size() < pattern.size()) return false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = name[i];
    switch (pattern[i]) {
      case '#':
        if (c < '0' || c > '9') return false;
        break;
      case '?':
        if (c != '-' && c != ':') return false;
        break;
      default:
        if (c != pattern[i]) return false;
    }
  }
  return true;
}

}  // namespace

bool screenshotByPath(std::string_view relativePath) {
  const std::size_t slash = relativePath.rfind('/');
  const std::string_view name =
      slash == std::string_view::npos ? relativePath : relativePath.substr(slash + 1);
  std::string_view folders =
      slash == std::string_view::npos ? std::string_view() : relativePath.substr(0, slash);
  while (!folders.empty()) {
    const std::size_t end = folders.find('/');
    const std::string_view folder = folders.substr(0, end);
    if (folder == "Screenshots" || folder == "Bildschirmfotos") {
      return true;
    }
    if (end == std::string_view::npos) break;
    folders.remove_prefix(end + 1);
  }
  for (const std::string_view pattern : screenshotNames) {
    if (startsLike(name, pattern)) return true;
  }
  return false;
}

}  // namespace velmora::photos
