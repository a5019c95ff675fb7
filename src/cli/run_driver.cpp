#include "cli/run_driver.h"

#include <algorithm>
#include <cstdlib>

#include "cli/command_line.h"
#include "cli/exe_dir.h"
#include "cli/temp_dir.h"
#include "geo/layout.h"
#include "geo/zoom.h"
#include "gpx/track.h"

namespace plotr {

int run_driver(const std::vector<std::string>& arguments, Console& console,
               xmlm_shit::Byte_source& input) {
    const Settings settings = parse_command_line(arguments, console);

    const std::string exe_dir =
        directory_part(executable_path(arguments.empty() ? "" : arguments[0], std::getenv("PATH")));
    [[maybe_unused]] const marker_paths markers = marker_paths_for(exe_dir);
    Temp_dir_names names(current_seed());
    [[maybe_unused]] const std::string temp_dir = names.next();

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

    // The tile download and the picture follow here.
    return 0;
}

}  // namespace plotr
