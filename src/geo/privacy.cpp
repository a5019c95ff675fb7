#include "geo/privacy.h"

#include <algorithm>

#include "common/text.h"
#include "geo/projection.h"

namespace plotr {

bool in_privacy_zone(const std::vector<privacy_zone>& zones, double lat, double lon) {
    return std::ranges::any_of(zones, [&](const privacy_zone& z) {
        return distance(z.lat, z.lon, lat, lon) <= z.radius;
    });
}

bool hide_private_points(track& t, const privacy_rules& rules) {
    // Each point's distance along the track from its first point.
    std::vector<double> along;
    double total = 0;
    const track_point* before = nullptr;
    for (const track_segment& segment : t) {
        for (const track_point& p : segment) {
            if (before) total += distance(before->lat, before->lon, p.lat, p.lon);
            along.push_back(total);
            before = &p;
        }
    }
    const auto kept = [&](double from_start, const track_point& p) {
        return from_start >= rules.ends && total - from_start >= rules.ends &&
               !in_privacy_zone(rules.zones, p.lat, p.lon);
    };
    // Whole points are copied into the pieces that remain, so nothing of a
    // point is lost or made up.
    track pieces;
    size_t i = 0;
    for (const track_segment& segment : t) {
        track_segment piece;
        for (const track_point& p : segment) {
            if (kept(along[i++], p)) {
                piece.push_back(p);
            } else if (!piece.empty()) {
                pieces.push_back(std::move(piece));
                piece.clear();
            }
        }
        if (!piece.empty()) pieces.push_back(std::move(piece));
    }
    t = std::move(pieces);
    return rules.ends > 0 && before && total < 2 * rules.ends;
}

std::string hidden_tracks_note(long count, double ends) {
    if (count == 0) return "";
    return format("plotr: -privacy hides %ld track%s whole: shorter than %.0f metres\n", count,
                  count == 1 ? "" : "s", 2 * ends);
}

}  // namespace plotr
