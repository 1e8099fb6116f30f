#include "bridge/photos/media/capture_date.h"

#include <gtest/gtest.h>

#include "support/time_zone.h"

namespace velmora::photos {
namespace {

constexpr double june1st0800Utc = 1622534400;  // 2021-06-01T08:00:00Z

TEST(CaptureDate, ContainerTimesAreUtcUnlessTheyCarryAZone) {
  const std::pair<const char*, std::optional<double>> cases[] = {
      {"2021-06-01T08:00:00.000000Z", june1st0800Utc},
      {"2021-06-01T08:00:00Z", june1st0800Utc},
      {"2021-06-01T08:00:00", june1st0800Utc},
      {"2021-06-01 08:00:00.5", june1st0800Utc + 0.5},
      {"2021-06-01T10:00:00+0200", june1st0800Utc},
      {"2021-06-01T10:30:00+02:30", june1st0800Utc},
      {"2021-06-01T03:00:00-05:00", june1st0800Utc},
      {"2021-06-01T08:00:00+02", june1st0800Utc - 7200},
      {"2021-13-01T08:00:00Z", std::nullopt},
      {"2021-06-01T08:00Z", std::nullopt},
      {"2021-06-01T08:00:00 trailing", std::nullopt},
      {"yesterday", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(containerDateTime(text), expected) << text;
}

TEST(CaptureDate, ExifTimesUseOffsetSubsecondsOrLocalTime) {
  const testing::ScopedTimeZone zone("UTC-2");  // two hours east of UTC
  const struct {
    const char *dateTime, *offset, *subSeconds;
    std::optional<double> expected;
  } cases[] = {
      {"2021:06:01 10:00:00", "", "", june1st0800Utc},  // local time
      {"2021:06:01 08:00:00", "+00:00", "", june1st0800Utc},
      {"2021:06:01 09:00:00", "+01:00", "120", june1st0800Utc + 0.12},
      {"2021:06:01 10:00:00", "   :  ", "", june1st0800Utc},  // blank offset: local
      {"2021:06:01 10:00:00\0", "", " 5 ", june1st0800Utc + 0.5},
      {"0000:00:00 00:00:00", "", "", std::nullopt},
      {"    :  :     :  :  ", "", "", std::nullopt},
      {"2021:06:01", "", "", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(exifDateTime(c.dateTime, c.offset, c.subSeconds), c.expected) << c.dateTime;
  }
}

TEST(CaptureDate, XmpDatesTakeWhatPartsTheyHave) {
  const testing::ScopedTimeZone zone("UTC-2");  // two hours east of UTC
  const std::pair<const char*, std::optional<double>> cases[] = {
      {"2021-06-01T10:00:00+02:00", june1st0800Utc},
      {"2021-06-01T08:00:00Z", june1st0800Utc},
      {"2021-06-01T08:00:00.25Z", june1st0800Utc + 0.25},
      {"2021-06-01T10:00:00", june1st0800Utc},        // local time
      {"2021-06-01T09:30+01:30", june1st0800Utc},     // no seconds
      {"2021:06:01 10:00:00+02:00", june1st0800Utc},  // EXIF's spelling
      {" 2021-06-01T10:00:00 ", june1st0800Utc},
      // A date alone is local midnight; a month or a year its first day.
      {"2021-06-01", june1st0800Utc - 10 * 3600},
      {"2021:06:01", june1st0800Utc - 10 * 3600},
      {"2021-06", june1st0800Utc - 10 * 3600},
      {"2021", june1st0800Utc - 10 * 3600 - 151 * 86400},
      {"0000-00-00T00:00:00", std::nullopt},
      {"2021-13-01", std::nullopt},
      {"2021-06-01T25:00", std::nullopt},
      {"2021-06-01T10", std::nullopt},
      {"2021-06-01T10:00:00+2", std::nullopt},
      {"2021-06-01+02:00", std::nullopt},  // a zone needs a time
      {"2021-6-1", std::nullopt},
      {"21-06-01", std::nullopt},
      {"June 2021", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(xmpDateTime(text), expected) << text;
}

}  // namespace
}  // namespace velmora::photos
