#pragma once

// Points a published picture must not show: the ends of every track, and the
// places around given spots.

#include <string>
#include <vector>

#include "gpx/track.h"

namespace plotr {

/// A place to keep out of the picture: every point within `radius` metres.
struct privacy_zone {
    double lat;
    double lon;
    double radius;
};

/// What to hide; nothing by default.
struct privacy_rules {
    double ends = 0;  ///< metres hidden at the start and at the end of every track
    std::vector<privacy_zone> zones;
    bool any() const { return ends > 0 || !zones.empty(); }
};

/// Whether the place lies within one of the zones.
bool in_privacy_zone(const std::vector<privacy_zone>& zones, double lat, double lon);

/// Removes from `t` the points within `rules.ends` metres of its first or last point
/// along the track (the distances between consecutive points summed, across its
/// segments) and the points inside a zone. A segment that loses points from its middle
/// is cut there into two; segments left empty are dropped. Gives whether the track was
/// shorter than twice `rules.ends`, and so is hidden whole.
bool hide_private_points(track& t, const privacy_rules& rules);

/// The line on standard error that tells how many tracks -privacy hid whole, newline
/// included; "" for none.
std::string hidden_tracks_note(long count, double ends);

}  // namespace plotr
