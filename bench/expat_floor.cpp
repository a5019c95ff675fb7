// The floor for reading GPX: the bare expat reader. Prints the point count
// and the box so the work cannot be optimised away.

#include <algorithm>
#include <cstdio>

#include "expat_points.h"

int main() {
    std::vector<bench::Point> points;
    if (const std::string error = bench::read_points(STDIN_FILENO, points); !error.empty()) {
        std::fprintf(stderr, "expat_floor: %s\n", error.c_str());
        return 2;
    }
    double min_lat = 666, max_lat = -666, min_lon = 666, max_lon = -666;
    for (const bench::Point& p : points) {
        min_lat = std::min(min_lat, p.lat);
        max_lat = std::max(max_lat, p.lat);
        min_lon = std::min(min_lon, p.lon);
        max_lon = std::max(max_lon, p.lon);
    }
    std::printf("%zu points, lat %f..%f, lon %f..%f\n", points.size(), min_lat, max_lat, min_lon,
                max_lon);
    return 0;
}
