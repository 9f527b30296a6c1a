// Reading the times of a panel as points on a line (numbers, months or days
// since year 0), the step most groups take, and the times a group leaves out.
#include "csv/time_gaps.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>

namespace kova::csv {
namespace {

enum class Unit { Number, Month, Day };

struct Date {
  int year = 0, month = 0, day = 0;  // day 0: a month without a day
};

std::string trim(const std::string& s) {
  std::size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

bool digits(const std::string& s, std::size_t from, std::size_t count, int& value) {
  value = 0;
  for (std::size_t i = from; i < from + count; ++i) {
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
  }
  return true;
}

bool leapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leapYear(y) ? 29 : days[m - 1];
}

// YYYY-MM or YYYY-MM-DD, a real calendar date.
std::optional<Date> isoDate(const std::string& s) {
  Date d;
  if ((s.size() != 7 && s.size() != 10) || s[4] != '-') return std::nullopt;
  if (!digits(s, 0, 4, d.year) || !digits(s, 5, 2, d.month) || d.month < 1 || d.month > 12)
    return std::nullopt;
  if (s.size() == 10 &&
      (s[7] != '-' || !digits(s, 8, 2, d.day) || d.day < 1 || d.day > daysInMonth(d.year, d.month)))
    return std::nullopt;
  return d;
}

// Days from 0000-03-01, by the civil calendar (years 0 to 9999 only).
long long dayNumber(const Date& d) {
  const int y = d.month <= 2 ? d.year - 1 : d.year;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (d.month + (d.month > 2 ? -3 : 9)) + 2) / 5 + d.day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return static_cast<long long>(era) * 146097 + doe;
}

Date dateOfDay(long long z) {
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  Date d;
  d.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  d.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  d.year = static_cast<int>(yoe + era * 400 + (d.month <= 2 ? 1 : 0));
  return d;
}

// How the times are read, and how a point of the line is written back.
struct Reading {
  Unit unit = Unit::Number;
  int decimals = 0;       // numbers: the most decimals a time has
  bool exponent = false;  // numbers: some time has an exponent
  bool withDay = false;   // months: written with a day
  bool monthEnd = false;  // months: the day is the last of the month
  int day = 0;            // months: the day of every time

  std::string text(long double point) const {
    char b[64];
    if (unit == Unit::Number) {
      if (exponent) {
        std::snprintf(b, sizeof b, "%.12Lg", point);
      } else {
        std::snprintf(b, sizeof b, "%.*Lf", decimals, point);
      }
      return b;
    }
    if (unit == Unit::Day) {
      Date d = dateOfDay(std::llround(point));
      std::snprintf(b, sizeof b, "%04d-%02d-%02d", d.year, d.month, d.day);
      return b;
    }
    long long m = std::llround(point);
    int year = static_cast<int>(m / 12), month = static_cast<int>(m % 12) + 1;
    if (!withDay) {
      std::snprintf(b, sizeof b, "%04d-%02d", year, month);
    } else {
      int last = daysInMonth(year, month);
      std::snprintf(b, sizeof b, "%04d-%02d-%02d", year, month,
                    monthEnd ? last : std::min(day, last));
    }
    return b;
  }
};

std::optional<long double> plainNumber(const std::string& s, Reading& r) {
  if (s.empty()) return std::nullopt;
  char* end = nullptr;
  long double v = std::strtold(s.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v) || s.find_first_of("xXnNiI") != std::string::npos)
    return std::nullopt;
  if (s.find_first_of("eE") != std::string::npos) {
    r.exponent = true;
  } else if (std::size_t point = s.find('.'); point != std::string::npos) {
    r.decimals = std::max(r.decimals, static_cast<int>(s.size() - point - 1));
  }
  return v;
}

// The points of every time, or nothing when they are not all of one kind.
std::optional<std::vector<std::vector<long double>>> pointsOf(
    const std::vector<std::vector<std::string>>& times, Reading& r) {
  std::vector<std::vector<long double>> points(times.size());
  bool numbers = true;
  for (std::size_t g = 0; g < times.size() && numbers; ++g)
    for (const std::string& t : times[g]) {
      std::optional<long double> v = plainNumber(trim(t), r);
      if (!v) {
        numbers = false;
        break;
      }
      points[g].push_back(*v);
    }
  if (numbers) return points;

  std::vector<std::vector<Date>> dates(times.size());
  bool first = true, sameDay = true, monthEnds = true;
  std::size_t length = 0;
  for (std::size_t g = 0; g < times.size(); ++g)
    for (const std::string& t : times[g]) {
      std::string s = trim(t);
      std::optional<Date> d = isoDate(s);
      if (!d || (!first && s.size() != length)) return std::nullopt;
      if (first) r.day = d->day, length = s.size();
      first = false;
      sameDay = sameDay && d->day == r.day;
      monthEnds = monthEnds && d->day == daysInMonth(d->year, d->month);
      dates[g].push_back(*d);
    }
  r.withDay = length == 10;
  r.monthEnd = r.withDay && !sameDay && monthEnds;
  r.unit = !r.withDay || sameDay || monthEnds ? Unit::Month : Unit::Day;
  for (std::size_t g = 0; g < times.size(); ++g) {
    points[g].clear();
    for (const Date& d : dates[g])
      points[g].push_back(r.unit == Unit::Month ? d.year * 12.0L + (d.month - 1)
                                                : static_cast<long double>(dayNumber(d)));
  }
  return points;
}

// A step as a key that equal steps share: rounded to 12 significant digits.
long double stepKey(long double step) {
  if (step <= 0) return 0;
  long double scale = std::pow(10.0L, 11 - std::floor(std::log10(step)));
  return std::round(step * scale) / scale;
}

long double mostFrequent(const std::map<long double, int>& counts) {
  long double best = 0;
  int seen = 0;
  for (const auto& [value, n] : counts)
    if (n > seen) best = value, seen = n;  // ascending: the smaller wins a tie
  return best;
}

std::string stepText(const Reading& r, long double step) {
  if (r.unit == Unit::Number) {
    char b[64];
    std::snprintf(b, sizeof b, "%.12Lg", step);
    return b;
  }
  long long n = std::llround(step);
  std::string unit = r.unit == Unit::Month ? "month" : "day";
  return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
}

}  // namespace

bool TimeGaps::any() const {
  for (const auto& g : groups)
    if (!g.empty()) return true;
  return false;
}

TimeGaps findTimeGaps(const std::vector<std::vector<std::string>>& times) {
  TimeGaps out;
  out.groups.resize(times.size());
  Reading r;
  auto points = pointsOf(times, r);
  if (!points) return out;
  std::map<long double, int> groupSteps;
  for (const auto& p : *points) {
    std::map<long double, int> steps;
    for (std::size_t i = 1; i < p.size(); ++i)
      if (p[i] > p[i - 1]) ++steps[stepKey(p[i] - p[i - 1])];
    if (!steps.empty()) ++groupSteps[mostFrequent(steps)];
  }
  if (groupSteps.empty()) return out;
  const long double step = mostFrequent(groupSteps);
  out.checked = true;
  out.step = stepText(r, step);
  for (std::size_t g = 0; g < points->size(); ++g) {
    const auto& p = (*points)[g];
    // The steps from the group's first time of the times it has: a time
    // between two records that the group has elsewhere (a record placed
    // out of time order) is not missing.
    std::set<long long> held;
    for (long double v : p) {
      const long double at = (v - p[0]) / step;
      if (std::fabs(at) < 1e15L && std::fabs(at - std::round(at)) < 1e-6L)
        held.insert(std::llround(at));
    }
    for (std::size_t i = 1; i < p.size(); ++i) {
      const long double span = (p[i] - p[i - 1]) / step;
      if (!(span > 1 + 1e-9L)) continue;
      const long double from = (p[i - 1] - p[0]) / step;
      const bool onGrid = std::fabs(from) < 1e15L && std::fabs(from - std::round(from)) < 1e-6L;
      const long long slots = static_cast<long long>(std::ceil(std::min(span, 1e15L) - 1e-9L)) - 1;
      TimeGap gap;
      gap.after = i - 1;
      if (onGrid && slots <= 1000000) {
        for (long long k = 1; k <= slots; ++k) {
          if (held.count(std::llround(from) + k)) continue;
          if (gap.missing.size() < kListedMissing)
            gap.missing.push_back(r.text(p[i - 1] + k * step));
          ++gap.count;
        }
      } else {
        gap.count = slots;
        for (long long k = 1; k <= slots && gap.missing.size() < kListedMissing; ++k)
          gap.missing.push_back(r.text(p[i - 1] + k * step));
      }
      if (gap.count > 0) out.groups[g].push_back(gap);
    }
  }
  return out;
}

std::string missingText(const TimeGap& gap) {
  std::string out;
  for (const std::string& t : gap.missing) out += (out.empty() ? "" : ", ") + t;
  if (gap.count > static_cast<long long>(gap.missing.size()))
    out += ", ... (" + std::to_string(gap.count) + " times)";
  return out;
}

}  // namespace kova::csv
