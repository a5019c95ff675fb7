// plotr's own reading of a GPX document, without the rest of a run: the
// reader and the bounds, as the run driver calls them. Prints what
// expat_floor prints, so the two do the same observable work.

#include <unistd.h>

#include <cstdio>

#include "common/failure.h"
#include "gpx/gzip_source.h"
#include "gpx/track.h"
#include "gpx/xmlm_shit.h"

int main() {
    try {
        plotr::xmlm_shit::Fd_source file(STDIN_FILENO);
        // As a run reads: a gzip-compressed document is inflated on the way.
        plotr::Gzip_source input(file);
        const plotr::track_list tracks = plotr::read_gpx(input);
        std::size_t points = 0;
        for (const plotr::track& t : tracks) {
            for (const plotr::track_segment& segment : t) {
                points += segment.size();
            }
        }
        std::printf("%zu points, lat %f..%f, lon %f..%f\n", points, plotr::min_lat(tracks),
                    plotr::max_lat(tracks), plotr::min_lon(tracks), plotr::max_lon(tracks));
        return 0;
    } catch (const plotr::Fatal_error& error) {
        std::fprintf(stderr, "plotr_parse: %s\n", error.what());
        return 2;
    }
}
