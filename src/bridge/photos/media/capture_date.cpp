#include "bridge/photos/media/capture_date.h"

#include <ctime>

namespace velmora::photos {

namespace {

std::string_view trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\0' || c == '\t' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads exactly `count` digits.
bool takeNumber(std::string_view& text, std::size_t count, int& value) {
  if (text.size() < count) return false;
  value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (!isDigit(text[i])) return false;
    value = value * 10 + (text[i] - '0');
  }
  text.remove_prefix(count);
  return true;
}

bool takeChar(std::string_view& text, std::string_view allowed) {
  if (text.empty() || allowed.find(text.front()) == std::string_view::npos) return false;
  text.remove_prefix(1);
  return true;
}

double fraction(std::string_view digits) {
  double value = 0, scale = 0.1;
  for (const char digit : digits) {
    if (!isDigit(digit)) break;
    value += (digit - '0') * scale;
    scale /= 10;
  }
  return value;
}

// The fields of a civil time, or no value when one is out of range.
std::optional<std::tm> civilTime(int year, int month, int day, int hour, int minute, int second) {
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 60) {
    return std::nullopt;
  }
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = -1;
  return fields;
}

// "YYYY?MM?DD?HH:MM:SS" with the given date separators and date/time
// separators; the rest of the text stays in `text`.
std::optional<std::tm> takeCivilTime(std::string_view& text, std::string_view dateSeparators,
                                     std::string_view timeSeparators) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!takeNumber(text, 4, year) || !takeChar(text, dateSeparators) ||
      !takeNumber(text, 2, month) || !takeChar(text, dateSeparators) || !takeNumber(text, 2, day) ||
      !takeChar(text, timeSeparators) || !takeNumber(text, 2, hour) || !takeChar(text, ":") ||
      !takeNumber(text, 2, minute) || !takeChar(text, ":") || !takeNumber(text, 2, second)) {
    return std::nullopt;
  }
  return civilTime(year, month, day, hour, minute, second);
}

// "." or "," and decimal digits: the fraction of a second; 0 without.
double takeFraction(std::string_view& text) {
  if (!takeChar(text, ".,")) return 0;
  std::size_t length = 0;
  while (length < text.size() && isDigit(text[length])) ++length;
  const double value = fraction(text.substr(0, length));
  text.remove_prefix(length);
  return value;
}

// "Z", "+HH:MM", "+HHMM" or "+HH"; seconds east of UTC. No value for a
// malformed zone.
std::optional<long> takeZone(std::string_view& text) {
  if (takeChar(text, "Zz")) return 0;
  if (text.empty() || (text.front() != '+' && text.front() != '-')) return std::nullopt;
  const long sign = text.front() == '-' ? -1 : 1;
  text.remove_prefix(1);
  int hours = 0, minutes = 0;
  if (!takeNumber(text, 2, hours)) return std::nullopt;
  if (!text.empty()) {
    takeChar(text, ":");
    if (!takeNumber(text, 2, minutes)) return std::nullopt;
  }
  if (hours > 18 || minutes > 59) return std::nullopt;
  return sign * (hours * 3600L + minutes * 60L);
}

// The instant of the civil time, with its fraction; one without a zone is
// also handed out as written, and its instant is taken from that, so that
// a time kept as written gives the same instant as reading it again.
double secondsAt(std::tm fields, const std::optional<long>& zone, double subSeconds,
                 std::optional<WallClock>* asWritten) {
  const std::int64_t utc = ::timegm(&fields);
  if (zone) {
    if (asWritten != nullptr) asWritten->reset();
    return static_cast<double>(utc - *zone) + subSeconds;
  }
  const WallClock written{utc, subSeconds};
  if (asWritten != nullptr) *asWritten = written;
  return instantOf(written);
}

}  // namespace

double instantOf(const WallClock& time) {
  const auto seconds = static_cast<std::time_t>(time.seconds);
  std::tm fields{};
  ::gmtime_r(&seconds, &fields);
  fields.tm_isdst = -1;
  return static_cast<double>(std::mktime(&fields)) + time.fraction;
}

std::optional<double> exifDateTime(std::string_view dateTime, std::string_view offset,
                                   std::string_view subSeconds,
                                   std::optional<WallClock>* asWritten) {
  std::string_view text = trimmed(dateTime);
  const std::optional<std::tm> fields = takeCivilTime(text, ":-", " T");
  if (!fields || !trimmed(text).empty()) return std::nullopt;
  std::optional<long> zone;
  std::string_view offsetText = trimmed(offset);
  if (!offsetText.empty()) {
    zone = takeZone(offsetText);
    // A blank placeholder ("   :  ") or garbage: treat as no offset.
    if (!offsetText.empty()) zone.reset();
  }
  return secondsAt(*fields, zone, fraction(trimmed(subSeconds)), asWritten);
}

std::optional<double> containerDateTime(std::string_view text) {
  text = trimmed(text);
  std::optional<std::tm> fields = takeCivilTime(text, "-", "T ");
  if (!fields) return std::nullopt;
  const double subSeconds = takeFraction(text);
  long zone = 0;
  if (!text.empty()) {
    const std::optional<long> parsed = takeZone(text);
    if (!parsed || !text.empty()) return std::nullopt;
    zone = *parsed;
  }
  return secondsAt(*fields, zone, subSeconds, nullptr);
}

std::optional<double> xmpDateTime(std::string_view text, std::optional<WallClock>* asWritten) {
  text = trimmed(text);
  int year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  double subSeconds = 0;
  std::optional<long> zone;
  if (!takeNumber(text, 4, year)) return std::nullopt;
  // Each part is optional from the month on, but only in this order.
  if (takeChar(text, "-:")) {
    if (!takeNumber(text, 2, month)) return std::nullopt;
    if (takeChar(text, "-:")) {
      if (!takeNumber(text, 2, day)) return std::nullopt;
      if (takeChar(text, "T ")) {
        if (!takeNumber(text, 2, hour) || !takeChar(text, ":") || !takeNumber(text, 2, minute)) {
          return std::nullopt;
        }
        if (takeChar(text, ":")) {
          if (!takeNumber(text, 2, second)) return std::nullopt;
          subSeconds = takeFraction(text);
        }
        if (!text.empty()) {
          zone = takeZone(text);
          if (!zone) return std::nullopt;
        }
      }
    }
  }
  if (!text.empty()) return std::nullopt;
  const std::optional<std::tm> fields = civilTime(year, month, day, hour, minute, second);
  if (!fields) return std::nullopt;
  return secondsAt(*fields, zone, subSeconds, asWritten);
}

}  // namespace velmora::photos
