#pragma once

// What a ride's points tell beyond where it went: a measure per point for colouring,
// and the figures and profile of the whole ride.

#include <string>
#include <vector>

#include "gpx/track.h"

namespace plotr {

enum class measure { none, speed, elevation, grade, heartrate };
enum class unit_system { metric, imperial };

/// "speed", "elevation", "grade" or "heartrate"; anything else is none.
measure measure_of(const std::string& text);

/// The measure of every point, segment by segment in document order (every segment of
/// every track, empty ones included), and the range a palette spans.
struct measured_ride {
    std::vector<std::vector<float>> values;  ///< in the legend's unit
    double low = 0;
    double high = 0;
    bool diverging = false;  ///< centred on 0: low is -high
    std::string unit;        ///< "km/h", "mph", "m", "ft", "%" or "bpm"
};

/// Works the measure out for every point: speed over about 10 s (pauses, that is gaps
/// over 60 s or no movement, take the nearest moving value), grade over about 100 m,
/// elevation and heart rate as recorded; a point without the data takes the nearest
/// known value. The range runs from the 2nd to the 98th percentile (for grade, the
/// larger of the two sizes either side of 0). Throws Failure("-color-by speed needs
/// times; none of the 1860 track points has one") and the like when no point has it.
measured_ride measure_ride(const track_list& tracks, measure what, unit_system units);

/// One point of the profile: distance from the start (metres, gaps left out) and
/// elevation (metres), with the index of the point's segment in document order.
struct profile_point {
    double distance;
    double elevation;
    size_t segment;
    size_t index;  ///< of the point in its segment
};

/// The ride's figures, in metres and seconds.
struct ride_figures {
    double distance = 0;
    double ascent = 0;
    double descent = 0;
    double moving = 0;
    bool timed = false;  ///< some points have times: moving counts
    double lowest = 0;
    double highest = 0;
    std::vector<profile_point> profile;
};

/// Counts the figures over every segment in document order; distance is not counted
/// across the gaps between segments. Ascent and descent count changes of the recorded
/// elevation once they reach climb_threshold from the last counted level; moving time
/// is the time between consecutive points at most 60 s apart and at least 0.3 m/s.
/// Throws Failure("-profile needs elevations; none of the <n> track points has one"), or
/// "...; there are no track points" when there are none.
ride_figures ride_figures_of(const track_list& tracks);

inline constexpr double climb_threshold = 3.0;  ///< metres

/// The figures line: "42.3 km   ascent 812 m   descent 798 m   moving 2:14:05   highest 1,204 m".
std::string figures_line(const ride_figures& figures, unit_system units);

/// A whole number with "," between thousands: 1204 gives "1,204".
std::string grouped(long value);

/// Metres as the unit's distance (km or mi) and height (m or ft).
double long_distance_in(double metres, unit_system units);
double height_in(double metres, unit_system units);

}  // namespace plotr
