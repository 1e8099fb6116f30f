#pragma once
// Capture times as cameras and containers write them, in seconds since
// 1970-01-01 UTC.
#include <cstdint>
#include <optional>
#include <string_view>

namespace velmora::photos {

// A time a file gives without a zone, as it gives it: the seconds of that
// wall-clock time counted as if it were UTC, and the fraction of a second.
// Which instant it is depends on the computer's zone when it is read.
struct WallClock {
  std::int64_t seconds = 0;
  double fraction = 0;
  bool operator==(const WallClock&) const = default;
};

// The wall-clock time in this computer's zone now, in seconds since
// 1970-01-01 UTC: what the readers below give for a time without a zone.
double instantOf(const WallClock& time);

// EXIF "YYYY:MM:DD HH:MM:SS" with its companions: `offset` ("+02:00", may
// be empty or blank) and `subSeconds` (decimal digits of the fraction, may
// be empty). Without an offset the time is this computer's local time. No
// value for an unset ("0000:00:00 00:00:00") or malformed date. A date
// without an offset is also given as written in `asWritten` (if not null;
// reset for a date with an offset).
std::optional<double> exifDateTime(std::string_view dateTime, std::string_view offset,
                                   std::string_view subSeconds,
                                   std::optional<WallClock>* asWritten = nullptr);

// An XMP date: "YYYY", "YYYY-MM", "YYYY-MM-DD", then optionally "Thh:mm",
// ":ss", a fraction and a zone ("Z", "+02:00"); EXIF's colons and space
// ("2013:09:23 10:09:46+02:00") are read too. Missing parts are the first
// month, the first day and midnight; without a zone the time is this
// computer's local time, given as written in `asWritten` as above. No value
// for a malformed or impossible date.
std::optional<double> xmpDateTime(std::string_view text,
                                  std::optional<WallClock>* asWritten = nullptr);

// ISO 8601 as container metadata carries it: "2016-05-31T17:01:35.000000Z",
// "2023-05-09T13:48:30+0200". Without a zone the time is UTC, as video
// containers store it.
std::optional<double> containerDateTime(std::string_view text);

}  // namespace velmora::photos
