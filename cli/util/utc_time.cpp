#include "util/utc_time.hpp"

#include <fmt/format.h>

namespace tarnwick {
namespace {

constexpr std::int64_t MILLIS_PER_DAY = 86'400'000;

// Days since 1970-01-01 of a proleptic Gregorian date (a civil-from-days
// inverse in closed form, so no time zone or C library state is involved).
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

struct Civil {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

Civil civil_from_days(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned mp = (5 * day_of_year + 2) / 153;
  const unsigned day = day_of_year - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

unsigned days_in_month(std::int64_t year, unsigned month) {
  static constexpr unsigned DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : DAYS[month - 1];
}

// The digits at [at, at + count) as a number, or nullopt unless all are ASCII digits.
std::optional<unsigned> number(std::string_view text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return std::nullopt;
  unsigned value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return value;
}

struct Fields {
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
};

std::optional<UtcMillis> to_millis(const Fields& f) {
  if (f.year < 1970 || f.month < 1 || f.month > 12 || f.day < 1 ||
      f.day > days_in_month(f.year, f.month) || f.hour > 23 || f.minute > 59 || f.second > 59) {
    return std::nullopt;
  }
  const std::int64_t seconds = days_from_civil(f.year, f.month, f.day) * 86'400 +
                               std::int64_t{f.hour} * 3600 + std::int64_t{f.minute} * 60 + f.second;
  return seconds * 1000 + f.millis;
}

// "YYYY-MM-DD" at the start of `text`.
bool read_date(std::string_view text, Fields& f) {
  const auto year = number(text, 0, 4), month = number(text, 5, 2), day = number(text, 8, 2);
  if (!year || !month || !day || text[4] != '-' || text[7] != '-') return false;
  f.year = *year;
  f.month = *month;
  f.day = *day;
  return true;
}

// "HH:MM" at `at`, and ":SS" after it when `seconds`.
bool read_clock(std::string_view text, std::size_t at, bool seconds, Fields& f) {
  const auto hour = number(text, at, 2), minute = number(text, at + 3, 2);
  if (!hour || !minute || text[at + 2] != ':') return false;
  f.hour = *hour;
  f.minute = *minute;
  if (!seconds) return true;
  const auto second = number(text, at + 6, 2);
  if (!second || text[at + 5] != ':') return false;
  f.second = *second;
  return true;
}

}  // namespace

UtcMillis utc_now() {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  return duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string utc_text(UtcMillis when, bool with_millis) {
  const std::int64_t days = (when >= 0 ? when : when - (MILLIS_PER_DAY - 1)) / MILLIS_PER_DAY;
  const std::int64_t in_day = when - days * MILLIS_PER_DAY;
  const Civil date = civil_from_days(days);
  const std::int64_t seconds = in_day / 1000;
  std::string text = fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", date.year, date.month,
                                 date.day, seconds / 3600, seconds / 60 % 60, seconds % 60);
  if (with_millis) text += fmt::format(".{:03}", in_day % 1000);
  return text + "Z";
}

std::optional<UtcMillis> parse_utc(std::string_view text) {
  Fields f;
  if (text.size() != 20 && text.size() != 24) return std::nullopt;
  if (!read_date(text, f) || text[10] != 'T' || !read_clock(text, 11, true, f)) {
    return std::nullopt;
  }
  if (text.size() == 24) {
    const auto millis = number(text, 20, 3);
    if (text[19] != '.' || !millis) return std::nullopt;
    f.millis = *millis;
  }
  if (text.back() != 'Z') return std::nullopt;
  return to_millis(f);
}

std::optional<UtcMillis> parse_user_time(std::string_view text) {
  if (!text.empty() && text.back() == 'Z') text.remove_suffix(1);
  Fields f;
  if (text.size() < 10 || !read_date(text, f)) return std::nullopt;
  if (text.size() == 10) return to_millis(f);
  if (text[10] != 'T' && text[10] != ' ') return std::nullopt;
  if (text.size() == 16 && read_clock(text, 11, false, f)) return to_millis(f);
  if (text.size() == 19 && read_clock(text, 11, true, f)) return to_millis(f);
  return std::nullopt;
}

}  // namespace tarnwick
