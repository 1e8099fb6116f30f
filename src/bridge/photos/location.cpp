#include "bridge/photos/location.h"

#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora::photos {

namespace {

std::optional<std::filesystem::path> homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return std::filesystem::path(home);
  }
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return std::filesystem::path(entry->pw_dir);
  }
  return std::nullopt;
}

// The value of XDG_PICTURES_DIR as xdg-user-dirs writes it: a double-quoted
// string, either absolute or starting with $HOME.
std::optional<std::string> configuredPicturesValue(const std::filesystem::path& configFile) {
  std::ifstream in(configFile);
  if (!in) return std::nullopt;
  std::optional<std::string> value;
  std::string line;
  const std::string key = "XDG_PICTURES_DIR";
  while (std::getline(in, line)) {
    size_t pos = line.find_first_not_of(" \t");
    if (pos == std::string::npos || line[pos] == '#') continue;
    if (line.compare(pos, key.size(), key) != 0) continue;
    pos = line.find_first_not_of(" \t", pos + key.size());
    if (pos == std::string::npos || line[pos] != '=') continue;
    pos = line.find_first_not_of(" \t", pos + 1);
    if (pos == std::string::npos || line[pos] != '"') continue;
    std::string text;
    bool closed = false;
    for (size_t i = pos + 1; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        text.push_back(line[++i]);
      } else if (line[i] == '"') {
        closed = true;
        break;
      } else {
        text.push_back(line[i]);
      }
    }
    if (closed) value = text;  // the last assignment wins, as in a shell
  }
  return value;
}

std::filesystem::path withoutTrailingSeparator(const std::filesystem::path& path) {
  std::string text = path.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace

std::optional<std::filesystem::path> picturesFolder() {
  const std::optional<std::filesystem::path> home = homeFolder();
  std::filesystem::path configHome;
  if (const char* config = std::getenv("XDG_CONFIG_HOME");
      config != nullptr && *config == '/') {
    configHome = config;
  } else if (home) {
    configHome = *home / ".config";
  }

  std::optional<std::string> value;
  if (!configHome.empty()) value = configuredPicturesValue(configHome / "user-dirs.dirs");
  if (!value) {
    if (!home) return std::nullopt;
    return *home / "Pictures";
  }

  std::filesystem::path folder;
  if (value->rfind("$HOME", 0) == 0) {
    if (!home) return std::nullopt;
    const std::string rest = value->substr(5);
    if (!rest.empty() && rest.front() != '/') return std::nullopt;  // "$HOMEX" is no path
    folder = *home / std::filesystem::path(rest).relative_path();
  } else if (!value->empty() && value->front() == '/') {
    folder = *value;
  } else {
    return std::nullopt;  // relative values are not allowed by the convention
  }
  folder = withoutTrailingSeparator(folder);
  if (home && folder == withoutTrailingSeparator(*home)) return std::nullopt;
  return folder;
}

bool folderGrantsFullAccess(const std::filesystem::path& folder) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  return ::access(folder.c_str(), R_OK | W_OK | X_OK) == 0;
}

}  // namespace velmora::photos
