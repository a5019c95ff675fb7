#include "geo/bounds.h"

#include <algorithm>
#include <cmath>

#include "geo/projection.h"

namespace plotr {

bounds track_bounds(const track_list& tracks) {
    return {min_lat(tracks), max_lat(tracks), min_lon(tracks), max_lon(tracks)};
}

bool settle_points(track_list& tracks, double near_lon) {
    bool crosses = false;
    const track_point* before = nullptr;
    for (track& t : tracks) {
        for (track_segment& segment : t) {
            for (track_point& p : segment) {
                p.lat = std::clamp(p.lat, -edge_latitude, edge_latitude);
                if (before && std::abs(p.lon - before->lon) > 180) {
                    p.lon -= 360 * std::round((p.lon - before->lon) / 360);
                    crosses = true;
                }
                before = &p;
            }
        }
    }
    if (!before) {
        return false;
    }
    const double middle = (min_lon(tracks) + max_lon(tracks)) / 2;
    if (std::abs(middle - near_lon) > 180) {
        const double turns = std::round((middle - near_lon) / 360);
        for (track& t : tracks) {
            for (track_segment& segment : t) {
                for (track_point& p : segment) p.lon -= 360 * turns;
            }
        }
    }
    return crosses;
}

double latitude_of(double mercator) { return std::atan(std::sinh(mercator)) * 180 / pi; }

}  // namespace plotr
