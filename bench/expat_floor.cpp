// The floor for reading GPX: the bare expat reader, over standard input or
// each file named in turn. Prints the point count and the box so the work
// cannot be optimised away.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "expat_points.h"

int main(int argc, char** argv) {
    std::vector<bench::Point> points;
    for (int i = argc > 1 ? 1 : 0; i < argc; ++i) {
        const int fd = argc > 1 ? open(argv[i], O_RDONLY) : STDIN_FILENO;
        if (fd < 0) {
            std::perror(argv[i]);
            return 2;
        }
        if (const std::string error = bench::read_points(fd, points); !error.empty()) {
            std::fprintf(stderr, "expat_floor: %s\n", error.c_str());
            return 2;
        }
        if (fd != STDIN_FILENO) close(fd);
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
