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
#include "geo/layout.h"
#include "geo/zoom.h"
#include "gpx/gpx_input.h"
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

}  // namespace

int run_driver(const std::vector<std::string>& arguments, Console& console,
               xmlm_shit::Byte_source& input, const System& system) {
    const Settings settings = parse_command_line(arguments, console);
    Gpx_input documents_in(settings.gpx_files, input);
    for (const int fd : documents_in.fds()) {
        refuse_output_over_input(fd, settings.output);
    }
    // A missing font ends the run before anything is read or downloaded.
    if (!settings.attribution.empty()) {
        check_attribution_font(attribution_font);
    }

    const std::string exe_dir =
        directory_part(executable_path(arguments.empty() ? "" : arguments[0], std::getenv("PATH")));
    const marker_paths markers = marker_paths_for(exe_dir);
    Temp_dir temp_dir{Temp_dir_names(current_seed())};
    const Shell shell(console, system, [&] { return temp_dir.name(); });

    const gpx_documents documents = documents_in.read(settings.routes, console);
    const track_list& tracks = documents.tracks;
    const double south = min_lat(tracks);
    const double north = max_lat(tracks);
    const double west = min_lon(tracks);
    const double east = max_lon(tracks);

    const zoom_choice zoom =
        choose_zoom(south, north, west, east, settings.width - settings.horizontal_padding,
                    settings.height - settings.vertical_padding);
    console.out(zoom_messages(zoom));
    canvas_layout layout =
        lay_out_canvas(zoom.zoom, south, north, west, east, settings.width, settings.height);
    console.out(layout_messages(layout));
    layout.tiles.first_column = std::max(0, layout.tiles.first_column);

    // Made before any download: a canvas the imaging library refuses ends
    // the run before a provider's bandwidth is spent on it.
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

    const image_handle start_pin = read_image(markers.start_icon);
    const image_handle end_pin = read_image(markers.end_icon);
    const image_handle shadow = read_image(markers.shadow_icon);
    const drawing_context drawing{.nomarkers = settings.nomarkers,
                                  .zoom = layout.zoom,
                                  .canvas_top = layout.canvas_top,
                                  .canvas_left = layout.canvas_left,
                                  .canvas = canvas,
                                  .start_pin = start_pin,
                                  .end_pin = end_pin,
                                  .shadow = shadow,
                                  .color = track_color(settings.color),
                                  .line_width = static_cast<double>(settings.line_width),
                                  .pins = pin_unit_of(settings.pins)};
    draw_tracks(drawing, tracks, documents.ends);
    draw_attribution(canvas, settings.attribution);

    write_output(console, canvas, settings.output, settings.compress);
    return 0;
}

}  // namespace plotr
