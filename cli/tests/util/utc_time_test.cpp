#include "util/utc_time.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwick {
namespace {

struct Case {
  std::string_view text;
  std::optional<UtcMillis> millis;
};

TEST(ParseUtc, AcceptsTheDocumentFormsOnlyWithRealDates) {
  const Case cases[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"2026-12-08T07:29:37Z", 1'796'714'977'000},
      {"2026-12-08T07:29:37.123Z", 1'796'714'977'123},
      {"2024-02-29T23:59:59Z", 1'709'251'199'000},  // a leap day
      {"2000-02-29T00:00:00Z", 951'782'400'000},    // divisible by 400
      {"1900-02-28T00:00:00Z", std::nullopt},       // before the epoch
      {"2100-02-29T00:00:00Z", std::nullopt},       // not a leap year
      {"2026-13-01T00:00:00Z", std::nullopt},
      {"2026-04-31T00:00:00Z", std::nullopt},
      {"2026-12-08T24:00:00Z", std::nullopt},
      {"2026-12-08T23:59:60Z", std::nullopt},
      {"2026-12-08T07:29:37", std::nullopt},  // no zone
      {"2026-12-08 07:29:37Z", std::nullopt},
      {"2026-12-08T07:29:37.12Z", std::nullopt},
      {"2026-12-08T07:29:37+00:00", std::nullopt},
      {"garbage", std::nullopt},
      {"", std::nullopt},
      {"+026-12-08T07:29:37Z", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_utc(c.text), c.millis) << c.text;
}

TEST(ParseUserTime, TakesADateOrADateAndTime) {
  const Case cases[] = {
      {"2026-12-07", 1'796'601'600'000},
      {"2026-12-07T23:50", 1'796'687'400'000},
      {"2026-12-07 23:50:01", 1'796'687'401'000},
      {"2026-12-07T23:50:01Z", 1'796'687'401'000},
      {"2026-12-07T23:5", std::nullopt},
      {"2026-12-32", std::nullopt},
      {"12/07/2026", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_user_time(c.text), c.millis) << c.text;
}

TEST(UtcText, RoundTripsThroughTheParserAcrossCenturiesAndLeapDays) {
  // Every 37 hours and 13 ms from 1970 to past 2100: each text parses back to its instant.
  for (UtcMillis t = 0; t < 4'200'000'000'000; t += 133'200'013) {
    EXPECT_EQ(parse_utc(utc_text(t, true)), t);
    EXPECT_EQ(parse_utc(utc_text(t, false)), t / 1000 * 1000);
  }
  EXPECT_EQ(utc_text(1'796'714'977'123, true), "2026-12-08T07:29:37.123Z");
  EXPECT_EQ(utc_text(951'782'400'000, false), "2000-02-29T00:00:00Z");
}

}  // namespace
}  // namespace tarnwick
