#include "bridge/photos/media/screenshot_marker.h"

namespace velmora::photos {

bool isScreenshotComment(std::string_view comment) {
  while (!comment.empty() && (comment.back() == '\0' || comment.back() == ' ')) {
    comment.remove_suffix(1);
  }
  while (!comment.empty() && comment.front() == ' ') comment.remove_prefix(1);
  return comment == "Screenshot";
}

}  // namespace velmora::photos
