#pragma once

#include <cstddef>
#include <vector>

namespace plotr {

/// World pixels at zoom z: the world is tile_size * 2^z pixels square.
inline constexpr int tile_size = 256;
inline constexpr int max_zoom = 18;
inline constexpr double pi = 3.141592653589793;

/// A pixel on the canvas, from its top-left corner; y grows downwards.
struct canvas_point {
    int x;
    int y;
    bool operator==(const canvas_point&) const = default;
};

/// One piece of a projected segment, short enough for one drawing call.
using track_run = std::vector<canvas_point>;

/// Double to int, toward zero, saturating: +inf and values too large give
/// INT_MAX; -inf, NaN and values too small give INT_MIN. Never undefined.
int truncate_to_int(double v);

/// World pixel x of a longitude at zoom z (0 at -180 degrees).
double pixel_x(int z, double lon);
/// Mercator ordinate of a latitude: ln(tan(phi) + 1/cos(phi)); 0 at the equator.
double mercator_y(double lat);
/// World pixel y of a latitude at zoom z (grows southwards).
double pixel_y(int z, double lat);
/// Pixel span of a longitude range, east minus west.
double pixel_width(int z, double west, double east);
/// Pixel span of a latitude range, south minus north in pixels.
double pixel_height(int z, double south, double north);

/// The canvas pixel of (lat, lon) for a canvas whose top-left corner lies at
/// (left, top) in world pixels times `scale`; both parts truncated toward
/// zero, saturating.
canvas_point project_point(int z, double left, double top, double lat, double lon, int scale = 1);

/// Cuts a projected segment into runs of at most 401 points; each run after the
/// first starts with the last point of the one before. Always one run or more.
/// The most points of one run split_track makes.
inline constexpr size_t track_run_length = 400;

std::vector<track_run> split_track(const std::vector<canvas_point>& points);

/// Base-2 logarithm as ln(v) / ln(2).
double log2(double v);

/// Great-circle distance in metres between (lat1, lon1) and (lat2, lon2), by
/// the haversine formula on a sphere of radius 6378137 m.
double distance(double lat1, double lon1, double lat2, double lon2);

}  // namespace plotr
