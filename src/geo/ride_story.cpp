#include "geo/ride_story.h"

#include <algorithm>
#include <cmath>

#include "common/failure.h"
#include "common/text.h"
#include "geo/projection.h"

namespace plotr {

namespace {

constexpr double speed_window = 10.0;    // seconds
constexpr double grade_window = 100.0;   // metres
constexpr double shortest_grade = 20.0;  // metres: below it, no grade is told
constexpr double longest_step = 60.0;    // seconds: a longer gap is a pause
constexpr double least_speed = 0.3;      // m/s: slower is standing still
constexpr double metres_per_mile = 1609.344;
constexpr double metres_per_foot = 0.3048;

bool known(double v) { return !std::isnan(v); }

size_t point_count(const track_list& tracks) {
    size_t count = 0;
    for (const track& t : tracks)
        for (const track_segment& s : t) count += s.size();
    return count;
}

// Distances from the segment's first point.
std::vector<double> distances(const track_segment& s) {
    std::vector<double> d(s.size(), 0.0);
    for (size_t i = 1; i < s.size(); ++i)
        d[i] = d[i - 1] + distance(s[i - 1].lat, s[i - 1].lon, s[i].lat, s[i].lon);
    return d;
}

// Speeds in m/s over about speed_window, NaN where standing, paused or untimed.
std::vector<float> speeds(const track_segment& s) {
    const std::vector<double> d = distances(s);
    std::vector<size_t> timed;
    for (size_t i = 0; i < s.size(); ++i)
        if (known(s[i].time)) timed.push_back(i);
    std::vector<float> v(s.size(), no_value);
    const auto time = [&](size_t n) { return s[timed[n]].time; };
    for (size_t n = 0; n < timed.size(); ++n) {
        size_t first = n;
        size_t last = n;
        while (first > 0 && time(n) - time(first - 1) <= speed_window / 2 &&
               time(first) - time(first - 1) <= longest_step)
            --first;
        while (last + 1 < timed.size() && time(last + 1) - time(n) <= speed_window / 2 &&
               time(last + 1) - time(last) <= longest_step)
            ++last;
        // A window of one step at least: points closer than the window apart.
        if (first == last && last + 1 < timed.size() && time(last + 1) - time(last) <= longest_step)
            ++last;
        if (first == last && first > 0 && time(first) - time(first - 1) <= longest_step) --first;
        const double span = time(last) - time(first);
        if (span <= 0) continue;
        const double speed = (d[timed[last]] - d[timed[first]]) / span;
        if (speed >= least_speed) v[timed[n]] = static_cast<float>(speed);
    }
    return v;
}

// Grades in % over about grade_window, from elevations with the gaps filled.
std::vector<float> grades(const track_segment& s, const std::vector<float>& elevation) {
    const std::vector<double> d = distances(s);
    std::vector<float> g(s.size(), no_value);
    size_t first = 0;
    size_t last = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        // The window holds a neighbour on each side, however far apart points are.
        while (first + 1 < i && d[i] - d[first + 1] >= grade_window / 2) ++first;
        if (last <= i) last = std::min(i + 1, s.size() - 1);
        while (last + 1 < s.size() && d[last + 1] - d[i] <= grade_window / 2) ++last;
        const double run = d[last] - d[first];
        if (run >= shortest_grade)
            g[i] = static_cast<float>((elevation[last] - elevation[first]) / run * 100.0);
    }
    return g;
}

// Every NaN takes the nearest known value of the whole ride, in document order.
void fill_nearest(std::vector<std::vector<float>>& values) {
    std::vector<float*> all;
    for (auto& segment : values)
        for (float& v : segment) all.push_back(&v);
    std::vector<long> before(all.size(), -1);
    long last = -1;
    for (size_t i = 0; i < all.size(); ++i) {
        if (known(*all[i])) last = long(i);
        before[i] = last;
    }
    long next = -1;
    for (size_t i = all.size(); i-- > 0;) {
        if (known(*all[i])) {
            next = long(i);
            continue;
        }
        const long b = before[i];
        const bool take_next = next >= 0 && (b < 0 || next - long(i) < long(i) - b);
        if (take_next) *all[i] = *all[next];
        else if (b >= 0) *all[i] = *all[b];
    }
}

// The value at fraction p of the sorted values.
double percentile(const std::vector<float>& sorted, double p) {
    return sorted[static_cast<size_t>(std::floor(p * double(sorted.size() - 1)))];
}

std::vector<std::vector<float>> elevations(const track_list& tracks) {
    std::vector<std::vector<float>> e;
    for (const track& t : tracks)
        for (const track_segment& s : t) {
            e.emplace_back();
            for (const track_point& p : s) e.back().push_back(p.elevation);
        }
    return e;
}

bool any_known(const std::vector<std::vector<float>>& values) {
    return std::ranges::any_of(values, [](const auto& s) { return std::ranges::any_of(s, known); });
}

std::string none_has(const std::string& what, const std::string& needs, size_t points) {
    // Waypoints drawn alone leave no track point at all.
    if (points == 0) return format("%s needs %s; there are no track points", what.c_str(), needs.c_str());
    return format("%s needs %s; none of the %zu track points has one", what.c_str(),
                  needs.c_str(), points);
}

}  // namespace

measure measure_of(const std::string& text) {
    if (text == "speed") return measure::speed;
    if (text == "elevation") return measure::elevation;
    if (text == "grade") return measure::grade;
    if (text == "heartrate") return measure::heartrate;
    return measure::none;
}

double long_distance_in(double metres, unit_system units) {
    return units == unit_system::metric ? metres / 1000.0 : metres / metres_per_mile;
}

double height_in(double metres, unit_system units) {
    return units == unit_system::metric ? metres : metres / metres_per_foot;
}

measured_ride measure_ride(const track_list& tracks, measure what, unit_system units) {
    static const char* const names[] = {"", "speed", "elevation", "grade", "heartrate"};
    const std::string option = std::string("-color-by ") + names[static_cast<int>(what)];
    const size_t points = point_count(tracks);
    const bool metric = units == unit_system::metric;
    measured_ride ride;
    std::vector<std::vector<float>> elevation = elevations(tracks);
    if ((what == measure::elevation || what == measure::grade) && !any_known(elevation))
        throw failure(none_has(option, "elevations", points));
    if (what == measure::grade) fill_nearest(elevation);
    size_t n = 0;
    for (const track& t : tracks) {
        for (const track_segment& s : t) {
            std::vector<float> v(s.size(), no_value);
            if (what == measure::speed) v = speeds(s);
            if (what == measure::grade) v = grades(s, elevation[n]);
            for (size_t i = 0; i < s.size(); ++i) {
                if (what == measure::elevation) v[i] = float(height_in(elevation[n][i], units));
                if (what == measure::heartrate) v[i] = s[i].heart_rate;
                if (what == measure::speed) v[i] *= metric ? 3.6f : float(3600 / metres_per_mile);
            }
            ride.values.push_back(std::move(v));
            ++n;
        }
    }
    std::vector<float> sorted;
    for (const auto& s : ride.values) std::ranges::copy_if(s, std::back_inserter(sorted), known);
    if (sorted.empty()) {
        if (what == measure::heartrate) throw failure(none_has(option, "heart rates", points));
        const bool any_time = std::ranges::any_of(tracks, [](const track& t) {
            return std::ranges::any_of(t, [](const track_segment& s) {
                return std::ranges::any_of(s, [](const track_point& p) { return known(p.time); });
            });
        });
        if (what == measure::speed && !any_time) throw failure(none_has(option, "times", points));
        throw failure(format("%s needs a ride that moves; none of the %zu track points does",
                             option.c_str(), points));
    }
    std::ranges::sort(sorted);
    ride.low = percentile(sorted, 0.02);
    ride.high = percentile(sorted, 0.98);
    if (what == measure::grade) {
        ride.diverging = true;
        ride.high = std::max({std::fabs(ride.low), std::fabs(ride.high), 1.0});
        ride.low = -ride.high;
    }
    fill_nearest(ride.values);
    ride.unit = what == measure::speed       ? (metric ? "km/h" : "mph")
                : what == measure::elevation ? (metric ? "m" : "ft")
                : what == measure::grade     ? "%"
                                             : "bpm";
    return ride;
}

ride_figures ride_figures_of(const track_list& tracks) {
    const std::vector<std::vector<float>> elevation = elevations(tracks);
    if (!any_known(elevation))
        throw failure(none_has("-profile", "elevations", point_count(tracks)));
    ride_figures f;
    f.lowest = HUGE_VAL;
    f.highest = -HUGE_VAL;
    size_t n = 0;
    for (const track& t : tracks) {
        for (const track_segment& s : t) {
            const std::vector<double> d = distances(s);
            double level = no_value;  // the last counted elevation
            const double start = f.distance;
            for (size_t i = 0; i < s.size(); ++i) {
                const double e = elevation[n][i];
                if (i > 0 && known(s[i].time) && known(s[i - 1].time)) {
                    f.timed = true;
                    const double step = s[i].time - s[i - 1].time;
                    if (step > 0 && step <= longest_step && (d[i] - d[i - 1]) / step >= least_speed)
                        f.moving += step;
                } else if (known(s[i].time)) {
                    f.timed = true;
                }
                if (!known(e)) continue;
                f.profile.push_back({start + d[i], e, n, i});
                f.lowest = std::min(f.lowest, e);
                f.highest = std::max(f.highest, e);
                if (!known(level)) level = e;
                if (e - level >= climb_threshold) {
                    f.ascent += e - level;
                    level = e;
                } else if (level - e >= climb_threshold) {
                    f.descent += level - e;
                    level = e;
                }
            }
            if (!s.empty()) f.distance = start + d.back();
            ++n;
        }
    }
    return f;
}

std::string grouped(long value) {
    std::string digits = std::to_string(value < 0 ? -value : value);
    for (long at = long(digits.size()) - 3; at > 0; at -= 3) digits.insert(size_t(at), ",");
    return value < 0 ? "-" + digits : digits;
}

std::string figures_line(const ride_figures& f, unit_system units) {
    const bool metric = units == unit_system::metric;
    const char* height_unit = metric ? "m" : "ft";
    const auto height = [&](double m) { return grouped(std::lround(height_in(m, units))); };
    std::string line = format("%.1f %s", long_distance_in(f.distance, units), metric ? "km" : "mi");
    line += "   ascent " + height(f.ascent) + " " + height_unit;
    line += "   descent " + height(f.descent) + " " + height_unit;
    if (f.timed) {
        const long s = std::lround(f.moving);
        line += format("   moving %ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    }
    line += "   highest " + height(f.highest) + " " + height_unit;
    return line;
}

}  // namespace plotr
