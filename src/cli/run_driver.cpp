#include "cli/run_driver.h"

#include <algorithm>
#include <cstdlib>

#include "cli/command_line.h"
#include "cli/exe_dir.h"
#include "cli/temp_dir.h"
#include "geo/layout.h"
#include "geo/zoom.h"
#include "gpx/track.h"
#include "render/attribution.h"
#include "render/map.h"
#include "render/output.h"
#include "render/track_drawing.h"
#include "tiles/tiles.h"

namespace plotr {

int run_driver(const std::vector<std::string>& arguments, Console& console,
               xmlm_shit::Byte_source& input, const System& system) {
    const Settings settings = parse_command_line(arguments, console);
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
    const track_list tracks = read_gpx(input);
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

    // Guarded from before the directory exists, so that a termination request
    // ends the run through its cleanup rather than leaving the directory.
    const auto create_temp_dir = [&] {
        shell.guard_temp_dir();
        return temp_dir.create();
    };
    const download_context download{.temp_dir = create_temp_dir,
                                    .zoom = layout.zoom,
                                    .url_template = settings.url,
                                    .last_tile_index = layout.last_tile_index,
                                    .shell = shell,
                                    .console = console};
    const std::vector<tile_entry> tiles = fetch_tiles(download, layout.tiles);

    image_handle canvas = get_canvas(settings.width, settings.height, "#FFFFFF");
    const assembly_context assembly{canvas, layout.canvas_top, layout.canvas_left};
    for (const tile_entry& tile : tiles) {
        shell.stop_if_interrupted();
        paste_tile(assembly, tile);
    }
    shell.remove_temp_dir();

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
