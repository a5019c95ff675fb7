#include "cli/run_driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "cli/command_line.h"
#include "cli/exe_dir.h"
#include "cli/temp_dir.h"
#include "common/failure.h"
#include "common/text.h"
#include "geo/layout.h"
#include "geo/zoom.h"
#include "gpx/track.h"
#include "render/attribution.h"
#include "render/map.h"
#include "render/output.h"
#include "render/track_drawing.h"
#include "tiles/tile_cache.h"
#include "tiles/tiles.h"

namespace plotr {

namespace {

// The picture would replace the track it is drawn from. An output that does
// not exist yet cannot be the input.
void refuse_output_over_input(int input_fd, const std::string& output) {
    struct stat input {};
    struct stat target {};
    if (input_fd < 0 || fstat(input_fd, &input) != 0 || !S_ISREG(input.st_mode)) {
        return;
    }
    if (stat(output.c_str(), &target) == 0 && target.st_dev == input.st_dev &&
        target.st_ino == input.st_ino) {
        throw failure("the output file is the input: " + output);
    }
}

struct marker_images {
    image_handle start;
    image_handle end;
    image_handle shadow;
};

marker_images read_markers(const marker_paths& paths) {
    return {read_image(paths.start_icon), read_image(paths.end_icon),
            read_image(paths.shadow_icon)};
}

}  // namespace

int run_driver(const std::vector<std::string>& arguments, Console& console,
               xmlm_shit::Byte_source& input, const System& system) {
    const Settings settings = parse_command_line(arguments, console);
    refuse_output_over_input(input.fd(), settings.output);
    // A missing font ends the run before anything is read or downloaded.
    if (!settings.attribution.empty()) {
        check_attribution_font(attribution_font);
    }

    const std::string exe_dir =
        directory_part(executable_path(arguments.empty() ? "" : arguments[0], std::getenv("PATH")));
    const marker_paths markers = marker_paths_for(exe_dir);
    Temp_dir temp_dir{Temp_dir_names(current_seed())};
    const Shell shell(console, system, [&] { return temp_dir.name(); });

    console.out_flushed("parsing gpx file\n");
    // Someone who named the file as an argument would otherwise wait in silence.
    if (input.fd() >= 0 && isatty(input.fd())) {
        console.err(
            "plotr: reading the GPX document from standard input "
            "(plotr [OPTIONS] < track.gpx)\n");
    }
    skipped_points skipped;
    const track_list tracks = read_gpx(input, skipped);
    if (skipped.count > 0) console.err(skipped_message(skipped));
    const double south = min_lat(tracks);
    const double north = max_lat(tracks);
    const double west = min_lon(tracks);
    const double east = max_lon(tracks);

    const int usable_width = settings.width - settings.horizontal_padding;
    const int usable_height = settings.height - settings.vertical_padding;
    // With a margin the pins' sizes take part in the zoom choice, so they are
    // read before it; otherwise where they always were, after the tiles.
    std::optional<marker_images> pins;
    drawing_reach reach;
    zoom_choice zoom{};
    if (settings.margin < 0) {
        zoom = choose_zoom(south, north, west, east, usable_width, usable_height);
    } else {
        pins.emplace(read_markers(markers));
        reach = line_reach(settings.line_width);
        if (!settings.nomarkers) {
            reach = widest(reach, widest(marker_reach(pins->start, pins->shadow),
                                         marker_reach(pins->end, pins->shadow)));
        }
        zoom = choose_zoom_within(south, north, west, east, usable_width - 2 * settings.margin,
                                  usable_height - 2 * settings.margin, reach);
    }
    console.out(zoom_messages(zoom));
    canvas_layout layout =
        lay_out_canvas(zoom.zoom, south, north, west, east, settings.width, settings.height, reach);
    console.out(layout_messages(layout));
    if (!zoom.fits) {
        console.err(format("plotr: even at zoom 0 %s not fit inside a margin of %d pixels\n",
                           settings.nomarkers ? "the track does" : "the track and its pins do",
                           settings.margin));
    }
    layout.tiles.first_column = std::max(0, layout.tiles.first_column);

    // Made before any download: a canvas the imaging library refuses ends
    // the run before a provider's bandwidth is spent on it.
    check_canvas_size(settings.width, settings.height, settings.compress);
    image_handle canvas = get_canvas(settings.width, settings.height, "#FFFFFF");
    std::optional<Tile_cache> cache;
    if (!settings.cache.empty()) {
        cache.emplace(settings.cache, settings.url, layout.zoom, layout.tiles.first_column,
                      std::min(layout.tiles.last_column, layout.last_tile_index));
    }

    // Guarded from before the directory exists, so that a termination request
    // ends the run through its cleanup rather than leaving the directory.
    bool temp_dir_made = false;
    const auto create_temp_dir = [&] {
        if (!temp_dir_made) {
            shell.guard_temp_dir();
            temp_dir.create();
            temp_dir_made = true;
        }
        return temp_dir.name();
    };
    const download_context download{.temp_dir = create_temp_dir,
                                    .zoom = layout.zoom,
                                    .url_template = settings.url,
                                    .last_tile_index = layout.last_tile_index,
                                    .shell = shell,
                                    .console = console,
                                    .cache = cache ? &*cache : nullptr,
                                    .parallel = settings.parallel};
    const std::vector<tile_entry> tiles = fetch_tiles(download, layout.tiles);

    const assembly_context assembly{canvas, layout.canvas_top, layout.canvas_left};
    for (const tile_entry& tile : tiles) {
        shell.stop_if_interrupted();
        tile_entry pasted = tile;
        if (tile.cached) {
            try {
                paste_tile(assembly, tile);
                continue;
            } catch (const Fatal_error&) {
                // A damaged entry never fails a run that the server can serve.
                pasted = fetch_tile_again(download, tile.x, tile.y);
            }
        }
        paste_tile(assembly, pasted);
        // Only a tile that was read enters the cache.
        if (cache) {
            cache->store(pasted.x, pasted.y, pasted.file);
        }
    }
    // A run that took every tile from the cache made no directory. Without
    // tiles the removal runs, and fails, as it always has.
    if (temp_dir_made || tiles.empty()) {
        shell.remove_temp_dir();
    }

    if (!pins) {
        pins.emplace(read_markers(markers));
    }
    const drawing_context drawing{.nomarkers = settings.nomarkers,
                                  .zoom = layout.zoom,
                                  .canvas_top = layout.canvas_top,
                                  .canvas_left = layout.canvas_left,
                                  .canvas = canvas,
                                  .start_pin = pins->start,
                                  .end_pin = pins->end,
                                  .shadow = pins->shadow,
                                  .color = track_color(settings.color),
                                  .line_width = static_cast<double>(settings.line_width)};
    for (const track& t : tracks) {
        for (const track_segment& segment : t) {
            draw_track_segment(drawing, segment);
        }
    }
    draw_attribution(canvas, settings.attribution);

    write_output(console, canvas, settings.output, settings.compress);
    return 0;
}

}  // namespace plotr
