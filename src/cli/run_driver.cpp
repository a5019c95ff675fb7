#include "cli/run_driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "cli/command_line.h"
#include "cli/exe_dir.h"
#include "cli/temp_dir.h"
#include "common/failure.h"
#include "common/text.h"
#include "geo/layout.h"
#include "geo/tile_grid.h"
#include "geo/zoom.h"
#include "gpx/gpx_input.h"
#include "gpx/track.h"
#include "render/attribution.h"
#include "render/map.h"
#include "render/output.h"
#include "render/track_drawing.h"
#include "tiles/curl_commands.h"
#include "tiles/tile_source.h"

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
    const std::string exe_dir =
        directory_part(executable_path(arguments.empty() ? "" : arguments[0], std::getenv("PATH")));
    const Settings settings =
        parse_command_line(arguments, console, builtin_providers_path(exe_dir));
    if (settings.parallel_asked > 0) {
        console.err(format("plotr: -parallel %d lowered to %d, the most the provider %s allows\n",
                           settings.parallel_asked, settings.parallel,
                           settings.provider->name.c_str()));
    }
    const Manners manners =
        settings.provider
            ? provider_manners(*settings.provider, settings.url, settings.user_agent)
            : Manners{.user_agent = settings.user_agent, .polite = false, .api_key = {}};
    Gpx_input documents_in(settings.gpx_files, input);
    for (const int fd : documents_in.fds()) {
        refuse_output_over_input(fd, settings.output);
    }
    check_output(settings.output);
    // A missing font ends the run before anything is read or downloaded.
    if (!settings.attribution.empty()) {
        check_attribution_font(attribution_font);
    }

    const marker_paths markers = marker_paths_for(exe_dir, settings.scale);
    Temp_dir temp_dir{Temp_dir_names(current_seed())};
    const Shell shell(console, system, [&] { return temp_dir.name(); });

    const gpx_documents documents = documents_in.read(settings.routes, console);
    const track_list& tracks = documents.tracks;
    const double south = min_lat(tracks);
    const double north = max_lat(tracks);
    const double west = min_lon(tracks);
    const double east = max_lon(tracks);

    const int usable_width = settings.width - settings.horizontal_padding;
    const int usable_height = settings.height - settings.vertical_padding;
    const int zoom_limit = settings.provider ? settings.provider->max_zoom : max_zoom;
    // The ground of the scale-1 layout, drawn `scale` times as large.
    const int scale = settings.scale;
    // With a margin the pins' sizes take part in the zoom choice, so they are
    // read before it; otherwise where they always were, after the tiles.
    std::optional<marker_images> pins;
    drawing_reach reach;
    zoom_choice zoom{};
    if (settings.margin < 0) {
        zoom = choose_zoom(south, north, west, east, usable_width, usable_height, zoom_limit);
    } else {
        pins.emplace(read_markers(markers));
        reach = line_reach(settings.line_width);
        if (!settings.nomarkers) {
            // The scale's pins are drawn over a layout made at scale 1.
            reach = widest(reach, scaled_down(widest(marker_reach(pins->start, pins->shadow),
                                                     marker_reach(pins->end, pins->shadow)),
                                              scale));
        }
        zoom = choose_zoom_within(south, north, west, east, usable_width - 2 * settings.margin,
                                  usable_height - 2 * settings.margin, reach, zoom_limit);
    }
    console.out(zoom_messages(zoom));
    const canvas_layout layout =
        lay_out_canvas(zoom.zoom, south, north, west, east, settings.width, settings.height, reach);
    console.out(layout_messages(layout));
    if (!zoom.fits) {
        console.err(format("plotr: even at zoom 0 %s not fit inside a margin of %d pixels\n",
                           settings.nomarkers ? "the track does" : "the track and its pins do",
                           settings.margin));
    }
    const tile_grid grid = with_retina_limit(
        plan_tile_grid(layout, scale, settings.tile_size, has_retina_placeholder(settings.url),
                       zoom.limit),
        settings.tile_size, settings.provider ? settings.provider->retina : Provider{}.retina);

    // Made before any download: a canvas the imaging library refuses ends
    // the run before a provider's bandwidth is spent on it.
    const long canvas_width = static_cast<long>(settings.width) * scale;
    const long canvas_height = static_cast<long>(settings.height) * scale;
    check_canvas_size(canvas_width, canvas_height, settings.compress);
    image_handle canvas = get_canvas(canvas_width, canvas_height, "#FFFFFF");
    // Providers ask for a cache: with one there is always a cache.
    const std::string cache_dir =
        !settings.cache.empty() || !settings.provider
            ? settings.cache
            : default_cache_dir(std::getenv("XDG_CACHE_HOME"), std::getenv("HOME"));
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
    Tile_source tiles({.temp_dir = create_temp_dir,
                       .zoom = grid.zoom,
                       .url_template = with_retina(settings.url, grid.retina),
                       .last_tile_index = grid.last_tile_index,
                       .shell = shell,
                       .console = console,
                       .cache_dir = cache_dir,
                       .parallel = settings.parallel,
                       .manners = manners,
                       .reads =
                           [](const std::string& file) {
                               try {
                                   read_image(file);
                                   return true;
                               } catch (const Fatal_error&) {
                                   return false;
                               }
                           }},
                      grid.tiles);
    bool told_tile_size = false;
    const assembly_context assembly{
        .canvas = canvas,
        .canvas_top = grid.origin_top,
        .canvas_left = grid.origin_left,
        .side = grid.side,
        .expected_side = grid.expected_side,
        .odd_tile = [&](long width, long height) {
            if (!told_tile_size) {
                told_tile_size = true;
                console.err(tile_size_hint(width, height, grid.expected_side,
                                           static_cast<int>(grid.expected_side / settings.tile_size),
                                           grid.retina[0] != '\0'));
            }
        }};
    bool any_tile = false;
    try {
        tiles.deliver([&](const tile_entry& tile) {
            any_tile = true;
            paste_tile(assembly, tile);
        });
    } catch (const Fatal_error&) {
        // Nothing of a failed run stays behind.
        if (temp_dir_made) {
            shell.discard_temp_dir();
        }
        throw;
    }
    // A run that took every tile from the cache made no directory. Without
    // tiles the removal runs, and fails, as it always has.
    if (temp_dir_made || !any_tile) {
        shell.remove_temp_dir();
    }

    if (!pins) {
        pins.emplace(read_markers(markers));
    }
    const drawing_context drawing{.nomarkers = settings.nomarkers,
                                  .zoom = layout.zoom,
                                  .canvas_top = grid.origin_top,
                                  .canvas_left = grid.origin_left,
                                  .canvas = canvas,
                                  .start_pin = pins->start,
                                  .end_pin = pins->end,
                                  .shadow = pins->shadow,
                                  .color = track_color(settings.color),
                                  .line_width = static_cast<double>(settings.line_width) * scale,
                                  .scale = scale,
                                  .pins = pin_unit_of(settings.pins)};
    draw_tracks(drawing, tracks, documents.ends);
    draw_attribution(canvas, settings.attribution, attribution_font, scale);

    write_output(console, canvas, settings.output, settings.compress);
    return 0;
}

}  // namespace plotr
