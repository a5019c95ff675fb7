#include "geo/projection.h"

#include <climits>
#include <cmath>

namespace plotr {

int truncate_to_int(double v) {
    // The comparisons are false for NaN, which therefore lands on INT_MIN.
    if (v >= 2147483647.0) return INT_MAX;
    if (v > -2147483649.0) return static_cast<int>(v);
    return INT_MIN;
}

double pixel_x(int z, double lon) { return (((lon + 180) / 360) * std::pow(2.0, z)) * 256; }

double mercator_y(double lat) {
    const double phi = (pi / 180) * lat;
    return std::log(std::tan(phi) + (1 / std::cos(phi)));
}

double pixel_y(int z, double lat) {
    // Integer subtraction first: zoom 0 multiplies by 2^-1.
    return ((1 - mercator_y(lat) / pi) * std::pow(2.0, z - 1)) * 256;
}

double pixel_width(int z, double west, double east) { return pixel_x(z, east) - pixel_x(z, west); }

double pixel_height(int z, double south, double north) {
    return pixel_y(z, south) - pixel_y(z, north);
}

canvas_point project_point(int z, double left, double top, double lat, double lon, int scale) {
    // Times 1 is exact: scale 1 is the plain difference.
    return {truncate_to_int(pixel_x(z, lon) * scale - left),
            truncate_to_int(pixel_y(z, lat) * scale - top)};
}

std::vector<track_run> split_track(const std::vector<canvas_point>& points) {
    constexpr size_t run_length = track_run_length;
    const size_t n = points.size();
    if (n <= run_length) return {points};

    const auto runs = static_cast<size_t>(std::ceil(static_cast<double>(n) / static_cast<double>(run_length)));
    std::vector<track_run> result;
    result.reserve(runs);
    for (size_t i = 0; i < runs; ++i) {
        size_t length = run_length;
        if (run_length * (i + 1) > n) length = n % run_length == 0 ? run_length : n % run_length;
        // Every run after the first repeats the previous run's last point so the
        // separately drawn polylines join without a gap.
        const size_t first = i == 0 ? 0 : run_length * i - 1;
        const size_t count = i == 0 ? length : length + 1;
        result.emplace_back(points.begin() + first, points.begin() + first + count);
    }
    return result;
}

double log2(double v) { return std::log(v) / std::log(2.0); }

double distance(double lat1, double lon1, double lat2, double lon2) {
    constexpr double radius = 6378137.0;
    const double p = 4 * std::atan(1.0);
    const double dphi = ((lat2 - lat1) * p) / 180;
    const double dlambda = ((lon2 - lon1) * p) / 180;
    const double s = std::pow(std::sin(dlambda / 2), 2.0);
    const double c1 = std::cos((p * lat1) / 180);
    const double c2 = std::cos((p * lat2) / 180);
    const double h = std::pow(std::sin(dphi / 2), 2.0) + ((c1 * c2) * s);
    const double c = 2 * std::atan2(std::sqrt(h), std::sqrt(1 - h));
    return radius * c;
}

}  // namespace plotr
