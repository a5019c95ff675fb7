// Arbitrary doubles (NaN, infinities and subnormals included) through the projection.
// Nothing may be undefined (UBSan watches the integer conversions), and what holds for
// real coordinates must hold: inverses within tolerance, truncation toward zero, runs
// that join up.

#include <array>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "geo/projection.h"

namespace {

using namespace plotr;

constexpr double earth_radius = 6378137.0;
// The latitude where the square Mercator world ends.
constexpr double mercator_limit = 85.0511287798066;

[[noreturn]] void finding(std::string_view what, double a = 0, double b = 0, double c = 0) {
    std::fprintf(stderr, "projection fuzzer: %.*s (%a %a %a)\n", int(what.size()), what.data(), a,
                 b, c);
    std::abort();
}

// Takes the input front to back; missing bytes read as zero.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint64_t take(size_t count) {
        uint64_t value = 0;
        for (size_t i = 0; i < count; ++i) value = value << 8 | (at_ < size_ ? data_[at_++] : 0);
        return value;
    }
    double real() { return std::bit_cast<double>(take(8)); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

void check_truncation(double v) {
    const int got = truncate_to_int(v);
    const double t = std::trunc(v);
    const int expected = std::isnan(v)  ? INT_MIN
                         : t >= INT_MAX ? INT_MAX
                         : t <= INT_MIN ? INT_MIN
                                        : static_cast<int>(t);
    if (got != expected) finding("truncate_to_int", v, got);
}

void check_longitude(int z, double lon) {
    const double world = tile_size * std::pow(2.0, z);
    const double x = pixel_x(z, lon);
    if (!(std::abs(lon) <= 180)) return;
    if (!(x >= 0 && x <= world)) finding("pixel_x outside the world", z, lon, x);
    const double back = x / world * 360 - 180;
    if (!(std::abs(back - lon) <= 1e-9)) finding("pixel_x does not invert", z, lon, back);
}

void check_latitude(int z, double lat) {
    const double world = tile_size * std::pow(2.0, z);
    const double y = pixel_y(z, lat);
    if (!(std::abs(lat) <= mercator_limit)) return;
    if (!(y >= -1e-6 && y <= world + 1e-6)) finding("pixel_y outside the world", z, lat, y);
    const double back = std::atan(std::sinh(pi * (1 - 2 * y / world))) * 180 / pi;
    if (!(std::abs(back - lat) <= 1e-9)) finding("pixel_y does not invert", z, lat, back);
}

void check_mercator_order(double a, double b) {
    if (!(std::abs(a) <= 89 && std::abs(b) <= 89) || a == b) return;
    if (a > b) std::swap(a, b);
    if (!(mercator_y(a) <= mercator_y(b) + 1e-9)) finding("mercator_y not increasing", a, b);
}

void check_projection(int z, double left, double top, double lat, double lon) {
    const canvas_point p = project_point(z, left, top, lat, lon);
    // Toward zero: within one pixel of the exact offset and never beyond it.
    const auto check = [](int got, double exact) {
        if (!(std::abs(exact) < 2e9)) return;
        if (std::abs(double(got)) > std::abs(exact) || std::abs(exact - got) >= 1 ||
            (got != 0 && (got < 0) != (exact < 0)))
            finding("project_point does not truncate toward zero", got, exact);
    };
    check(p.x, pixel_x(z, lon) - left);
    check(p.y, pixel_y(z, lat) - top);
}

void check_split(size_t n) {
    std::vector<canvas_point> points(n);
    for (size_t i = 0; i < n; ++i) points[i] = {int(i), -int(i)};
    const std::vector<track_run> runs = split_track(points);
    const size_t expected_runs = n <= 400 ? 1 : (n + 399) / 400;
    if (runs.size() != expected_runs) finding("split_track run count", double(n));
    // Runs cover the points in order, each after the first starting on the last one drawn.
    size_t next = 0;
    for (size_t r = 0; r < runs.size(); ++r) {
        const track_run& run = runs[r];
        if (run.size() > 401 || (r > 0 && run.size() < 2)) finding("split_track run size", n, r);
        size_t i = r == 0 ? 0 : next - 1;
        for (const canvas_point& point : run)
            if (i >= n || point != points[i++]) finding("split_track run content", n, r);
        next = i;
    }
    if (next != n) finding("split_track misses points", n, next);
}

// The angle between two points from their unit vectors, accurate at any distance.
double central_angle(double lat1, double lon1, double lat2, double lon2) {
    const auto unit = [](double lat, double lon) {
        const double phi = lat * pi / 180, lambda = lon * pi / 180;
        return std::array<double, 3>{std::cos(phi) * std::cos(lambda),
                                     std::cos(phi) * std::sin(lambda), std::sin(phi)};
    };
    const auto u = unit(lat1, lon1), v = unit(lat2, lon2);
    const std::array<double, 3> cross = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                                         u[0] * v[1] - u[1] * v[0]};
    return std::atan2(std::hypot(cross[0], cross[1], cross[2]),
                      u[0] * v[0] + u[1] * v[1] + u[2] * v[2]);
}

void check_distance(double lat1, double lon1, double lat2, double lon2) {
    const double d = distance(lat1, lon1, lat2, lon2);
    if (std::bit_cast<uint64_t>(d) != std::bit_cast<uint64_t>(distance(lat2, lon2, lat1, lon1)) &&
        !std::isnan(d))
        finding("distance not symmetric", d);
    const bool real = std::abs(lat1) <= 90 && std::abs(lat2) <= 90 && std::abs(lon1) <= 180 &&
                      std::abs(lon2) <= 180;
    if (!real) return;
    if (distance(lat1, lon1, lat1, lon1) != 0) finding("distance to itself", lat1, lon1);
    // Near antipodes the haversine h rounds above 1 and the formula gives NaN; only there.
    if (std::isnan(d) && central_angle(lat1, lon1, lat2, lon2) > pi - 1e-6) return;
    if (!(d >= 0 && d <= pi * earth_radius * (1 + 1e-12)))
        finding("distance outside half a great circle", d, lat1 - lat2, lon1 - lon2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes bytes(data, size);
    const int z = int(bytes.take(1) % (max_zoom + 1));
    const double lat = bytes.real(), lon = bytes.real();
    const double lat2 = bytes.real(), lon2 = bytes.real();
    const double left = bytes.real(), top = bytes.real();
    const auto n = size_t(bytes.take(2) % 2001);
    const auto k = int(bytes.take(2) % 2098) - 1074;

    for (const double v : {lat, lon, lat2, lon2, left, top}) check_truncation(v);
    check_longitude(z, lon);
    check_latitude(z, lat);
    check_mercator_order(lat, lat2);
    check_projection(z, left, top, lat, lon);
    check_distance(lat, lon, lat2, lon2);
    check_split(n);
    // The logarithm of an exact power of two, subnormals included.
    const double power = std::ldexp(1.0, k);
    if (!(std::abs(plotr::log2(power) - k) <= 1e-12 * std::abs(k) + 1e-15)) finding("log2", power);
    (void)plotr::log2(lat);
    (void)pixel_width(z, lon, lon2);
    (void)pixel_height(z, lat, lat2);
    return 0;
}
