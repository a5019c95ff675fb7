#include "geo/framing.h"

#include <algorithm>
#include <cmath>

#include "common/text.h"
#include "geo/projection.h"

namespace plotr {

namespace {

// The smallest box centred on `c` (in Mercator terms) that holds `box`.
bounds centred_box(const bounds& box, const geo_point& c) {
    const double half_width = std::max(c.lon - box.west, box.east - c.lon);
    const double y = mercator_y(c.lat);
    const double half_height = std::max(y - mercator_y(box.south), mercator_y(box.north) - y);
    return {latitude_of(y - half_height), latitude_of(y + half_height), c.lon - half_width,
            c.lon + half_width};
}

// Centred on a point, the drawing may reach its farthest on either side.
drawing_reach even(const drawing_reach& r) {
    const double across = std::max(r.left, r.right);
    const double up_down = std::max(r.top, r.bottom);
    return {across, across, up_down, up_down};
}

zoom_choice fixed_zoom(int zoom, int limit) {
    zoom_choice c{};
    c.limit = limit;
    c.smaller_bound = zoom;
    c.zoom = std::min(zoom, limit);
    return c;
}

}  // namespace

framing frame_picture(track_list& tracks, const framing_request& r, track_segment* waypoints) {
    if (waypoints && !waypoints->empty()) {
        tracks.push_back({std::move(*waypoints)});
        framing f = frame_picture(tracks, r);
        *waypoints = std::move(tracks.back().front());
        tracks.pop_back();
        return f;
    }
    std::optional<bounds> asked = r.box;
    if (asked && asked->west > asked->east) {
        asked->east += 360;
    }
    const double near_lon = r.center ? r.center->lon : asked ? (asked->west + asked->east) / 2 : 0;
    const bool crosses = settle_points(tracks, near_lon);
    const bounds ground = asked ? *asked : track_bounds(tracks);

    // The box the canvas is centred on, and how far the drawing reaches past it.
    bounds placed = ground;
    drawing_reach reach = r.margin ? r.reach : drawing_reach{};
    if (r.center) {
        placed = centred_box(ground, *r.center);
        reach = even(reach);
    }
    framing f;
    if (r.zoom) {
        f.zoom = fixed_zoom(*r.zoom, r.zoom_limit);
        f.report = format("zoom set to %d\n", *r.zoom);
        if (*r.zoom > r.zoom_limit) {
            f.report += format("zoom is too high, choose %d\n", r.zoom_limit);
        }
    } else {
        f.zoom = r.margin ? choose_zoom_within(placed, r.usable_width - 2 * *r.margin,
                                               r.usable_height - 2 * *r.margin, reach, r.zoom_limit)
                          : choose_zoom(placed, r.usable_width, r.usable_height, r.zoom_limit);
        f.report = zoom_messages(f.zoom);
    }
    if (f.zoom.zoom < r.zoom_floor) {
        f.zoom.zoom = r.zoom_floor;
        f.report += format("zoom is too low, choose %d\n", r.zoom_floor);
    }
    if (r.center) {
        // Only the centre is kept of the ground: two rides framed alike
        // report alike.
        placed = {r.center->lat, r.center->lat, r.center->lon, r.center->lon};
    }
    f.layout = lay_out_canvas(f.zoom.zoom, placed, r.width, r.height, reach);
    f.report += layout_messages(f.layout);
    f.wraps = crosses || asked || r.center || r.zoom;
    if (!f.zoom.fits) {
        f.warning = format("plotr: even at zoom 0 %s not fit inside a margin of %d pixels\n",
                           r.pins ? "the track and its pins do" : "the track does", *r.margin);
    }
    return f;
}

}  // namespace plotr
