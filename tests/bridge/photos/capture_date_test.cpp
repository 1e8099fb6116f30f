#include "bridge/photos/capture_date.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

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
  const char* old = std::getenv("TZ");
  const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  ::setenv("TZ", "UTC-2", 1);  // two hours east of UTC
  ::tzset();
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
  if (saved) {
    ::setenv("TZ", saved->c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

}  // namespace
}  // namespace velmora::photos
