#pragma once

#include "gpx/track.h"

namespace plotr {

/// A box in degrees. A box across the antimeridian has its east past 180.
struct bounds {
    double south;
    double north;
    double west;
    double east;
    bool operator==(const bounds&) const = default;
};

/// The map's own latitude limit: Mercator reaches y = +-pi there.
inline constexpr double edge_latitude = 85.05112877980659;

/// The box of all points; throws as min_lat does when there is none.
bounds track_bounds(const track_list& tracks);

/// Makes the points drawable: latitudes past the map's edge become the edge,
/// and longitudes are unwrapped in document order, each within 180 degrees of
/// the one before, then moved by whole turns so that the box's middle lies
/// within 180 degrees of `near_lon`. Points of a track that does not cross the
/// antimeridian, near the default, stay as they are. Gives whether it crosses.
bool settle_points(track_list& tracks, double near_lon = 0);

/// The latitude whose Mercator ordinate is y: the inverse of mercator_y.
double latitude_of(double mercator);

}  // namespace plotr
