#include "bridge/photos/screenshot.h"

#include <regex>
#include <string>

namespace velmora::photos {

namespace {

const std::regex& screenshotName() {
  static const std::regex pattern(
      "^(?:"
      "(?:Screenshot from|Bildschirmfoto vom) \\d{4}-\\d{2}-\\d{2} \\d{2}[-:]\\d{2}[-:]\\d{2}"
      "|Screenshot_\\d{8}[_-]\\d{6}"
      "|(?:Screenshot|Screen Shot|Bildschirmfoto) \\d{4}-\\d{2}-\\d{2} (?:at|um) \\d{1,2}\\.\\d{2}"
      ")",
      std::regex::optimize);
  return pattern;
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
  return std::regex_search(name.begin(), name.end(), screenshotName(),
                           std::regex_constants::match_continuous);
}

bool isScreenshotComment(std::string_view comment) {
  while (!comment.empty() && (comment.back() == '\0' || comment.back() == ' ')) {
    comment.remove_suffix(1);
  }
  while (!comment.empty() && comment.front() == ' ') comment.remove_prefix(1);
  return comment == "Screenshot";
}

}  // namespace velmora::photos
