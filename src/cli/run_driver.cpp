#include "cli/run_driver.h"

#include <sys/stat.h>

#include <cstdlib>

#include "cli/command_line.h"
#include "cli/exe_dir.h"
#include "cli/temp_dir.h"
#include "common/failure.h"
#include "common/text.h"
#include "geo/framing.h"
#include "geo/privacy.h"
#include "geo/tile_grid.h"
#include "gpx/gpx_input.h"
#include "gpx/gpx_names.h"
#include "render/attribution.h"
#include "render/heatmap.h"
#include "render/map.h"
#include "render/markers.h"
#include "render/output.h"
#include "render/story_drawing.h"
#include "render/track_drawing.h"
#include "tiles/mbtiles.h"
#include "tiles/provider.h"
#include "tiles/tile_settings.h"

namespace plotr {

namespace {

// The picture would replace a track it is drawn from, or the tiles file. An
// output that does not exist yet cannot be an input.
void refuse_output_over_input(const std::vector<int>& input_fds, const std::string& output,
                              const std::string& tiles_file) {
    struct stat target {};
    if (stat(output.c_str(), &target) != 0) {
        return;
    }
    struct stat tiles {};
    if (!tiles_file.empty() && stat(tiles_file.c_str(), &tiles) == 0 &&
        target.st_dev == tiles.st_dev && target.st_ino == tiles.st_ino) {
        throw failure("the output file is the input: " + output);
    }
    for (const int fd : input_fds) {
        struct stat input {};
        if (fstat(fd, &input) == 0 && S_ISREG(input.st_mode) && target.st_dev == input.st_dev &&
            target.st_ino == input.st_ino) {
            throw failure("the output file is the input: " + output);
        }
    }
}

std::string parallel_note(const Settings& s) {
    if (s.parallel_asked <= 0) return "";
    return format("plotr: -parallel %d lowered to %d, the most the provider %s allows\n",
                  s.parallel_asked, s.parallel, s.provider->name.c_str());
}

// With a margin the pins' sizes take part in the zoom choice, so they are
// read before it; otherwise where they always were, after the tiles.
framing_request framing_request_of(const Settings& s, Markers& markers, const Mbtiles* file) {
    // The profile strip is no part of the map.
    const int strip = s.profile.value_or(0);
    framing_request r{.width = s.width,
                      .height = s.height - strip,
                      .usable_width = s.width - s.horizontal_padding,
                      .usable_height = s.height - strip - s.vertical_padding,
                      .zoom_limit = file         ? file->metadata().max_zoom
                                    : s.provider ? s.provider->max_zoom
                                                 : max_zoom,
                      .zoom_floor = file ? file->metadata().min_zoom : 0,
                      .pins = !s.nomarkers,
                      .zoom = s.zoom,
                      .center = s.center,
                      .box = s.bbox};
    if (s.margin >= 0) {
        r.margin = s.margin;
        r.reach = markers.reach(s.line_width, s.nomarkers);
        if (!s.outline.empty()) r.reach = widest(r.reach, line_reach(outline_width(s.line_width)));
        if (s.waypoints) r.reach = widest(r.reach, waypoint_reach());
    }
    return r;
}

tile_source_settings tile_settings_of(const Settings& s, const tile_grid& grid, Run_dir& run_dir,
                                      Console& console, const Manners& manners) {
    return {.temp_dir = [&run_dir] { return run_dir.path(); },
            .zoom = grid.zoom,
            .url_template = with_retina(s.url, grid.retina),
            .last_tile_index = grid.last_tile_index,
            .shell = run_dir.shell(),
            .console = console,
            .cache_dir = cache_folder_for(s.cache, s.provider.has_value()),
            .parallel = s.parallel,
            .manners = manners,
            .reads = reads_as_picture};
}

// The credit line: -attribution's, else the file's.
std::string credit_line(const Settings& s, const Mbtiles* file) {
    return file && !s.attribution_given ? file->metadata().attribution : s.attribution;
}

// The tiles onto the map: from the file, straight from the database, or
// downloaded through the run's directory.
void lay_tiles(const Mbtiles* file, const tile_source_settings& settings, const tile_grid& grid,
               bool wraps, Run_dir& run_dir, Map_assembly& map) {
    const auto paste = [&](const tile_entry& tile) { map.paste(tile); };
    if (file) {
        file->deliver(grid.zoom, grid.last_tile_index, grid.tiles, wraps, settings.console, paste);
        return;
    }
    deliver_tiles(settings, grid.tiles, wraps, paste);
    run_dir.finish(map.any_tile());
}

// Drawn at the layout's zoom over a canvas placed as the grid places it.
drawing_context drawing_of(const Settings& s, const framing& frame, const tile_grid& grid,
                           image_handle& canvas, const marker_images& pins,
                           const ride_story& story) {
    return {.nomarkers = s.nomarkers,
            .zoom = frame.layout.zoom,
            .canvas_top = grid.origin_top,
            .canvas_left = grid.origin_left,
            .canvas = canvas,
            .start_pin = pins.start,
            .end_pin = pins.end,
            .shadow = pins.shadow,
            .color = track_color(s.color),
            .line_width = static_cast<double>(s.line_width) * s.scale,
            .scale = s.scale,
            .pins = pin_unit_of(s.pins),
            .outline = s.outline.empty() ? std::nullopt
                                         : std::optional(color_of_string(s.outline)),
            .shades = story.ride ? &story.shades : nullptr};
}

// Elevations, times and heart rates are read only for the options that tell of them.
bool tells_story(const Settings& s) { return !s.color_by.empty() || s.profile; }

// Hidden points are dropped as each track is read, as if the document never had them.
reading_options reading_of(const Settings& s) {
    reading_options options{.waypoints = s.waypoints, .extras = tells_story(s)};
    const privacy_rules rules{static_cast<double>(s.privacy), s.privacy_zones};
    if (rules.any()) {
        options.hide = [rules](track& t) { return hide_private_points(t, rules); };
        options.hides_waypoint = [zones = rules.zones](const track_point& p) {
            return in_privacy_zone(zones, p.lat, p.lon);
        };
    }
    return options;
}

// What the file keeps of the credit line beside its pixels.
picture_text credit_of(const Settings& s, const std::string& credit, const Mbtiles* file,
                       const framing& frame) {
    const bounds box = layout_bounds(frame.layout);
    // A tiles file is named by its own name or its base name: a folder may name a user.
    std::string source = s.provider ? s.provider->name : template_host(s.url);
    if (file) {
        source = file->metadata().name;
        if (source.empty()) source = s.mbtiles.substr(s.mbtiles.find_last_of('/') + 1);
    }
    return {.copyright = credit,
            .source = source,
            .comment = format("zoom %d, box %.6f,%.6f,%.6f,%.6f (south,west,north,east in degrees)",
                              frame.layout.zoom, box.south, box.west, box.north, box.east)};
}

}  // namespace

int run_driver(const std::vector<std::string>& arguments, Console& console,
               xmlm_shit::Byte_source& input, const System& system) {
    // Settings: everything that can be refused is, before anything is read.
    const std::string exe_dir =
        directory_part(executable_path(arguments.empty() ? "" : arguments[0], std::getenv("PATH")));
    const Settings settings =
        parse_command_line(arguments, console, builtin_providers_path(exe_dir));
    console.err(parallel_note(settings));
    const Manners manners = manners_for(settings.provider, settings.url, settings.user_agent);
    Gpx_input documents_in(gpx_names(settings.gpx_files, settings.gpx_lists, input), input);
    refuse_output_over_input(documents_in.fds(), settings.output, settings.mbtiles);
    check_output(settings.output);
    const auto offline = open_mbtiles(settings.mbtiles);
    const std::string credit = credit_line(settings, offline.get());
    if (!credit.empty() || settings.waypoints || settings.heatmap || tells_story(settings))
        check_attribution_font(attribution_font);
    Markers markers(exe_dir, settings.scale);
    Run_dir run_dir(Temp_dir_names(current_seed()), console, system);

    // Documents.
    gpx_documents documents = documents_in.read(settings.routes, console, reading_of(settings));
    console.err(hidden_tracks_note(documents.hidden_tracks, settings.privacy));
    const ride_story story = tell_story(documents.tracks, settings.color_by, settings.profile,
                                        settings.units, settings.scale);

    // Framing: the zoom and the canvas in the world, then the tiles that cover it.
    const framing frame =
        frame_picture(documents.tracks, framing_request_of(settings, markers, offline.get()),
                      &documents.marks.points);
    console.out(frame.report);
    console.err(frame.warning);
    const tile_grid grid = with_retina_limit(
        plan_tile_grid(frame.layout, settings.scale, settings.tile_size,
                       has_retina_placeholder(settings.url), frame.zoom.limit, frame.wraps),
        settings.tile_size, settings.provider ? settings.provider->retina : Provider{}.retina);

    // The map: a canvas the imaging library refuses ends the run before any download.
    const long width = static_cast<long>(settings.width) * settings.scale;
    const long height = static_cast<long>(settings.height) * settings.scale;
    check_canvas_size(width, height, settings.compress, settings.heatmap);
    image_handle canvas = get_canvas(width, height, "#FFFFFF");
    Map_assembly map(canvas, grid, console);
    lay_tiles(offline.get(), tile_settings_of(settings, grid, run_dir, console, manners), grid,
              frame.wraps, run_dir, map);
    tone_map(canvas, settings.map_tone);

    // Drawing.
    const drawing_context drawing =
        drawing_of(settings, frame, grid, canvas, markers.images(), story);
    if (settings.heatmap) draw_heatmap(drawing, documents.tracks, documents.ends);
    if (!settings.heatmap) draw_tracks(drawing, documents.tracks, documents.ends);
    draw_story(canvas, story, track_color(settings.color), attribution_font, settings.scale);
    if (settings.waypoints) draw_waypoints(drawing, documents.marks, attribution_font);
    draw_attribution(canvas, credit, attribution_font, settings.scale, story.strip);

    // Output.
    write_output(console, canvas, settings.output, settings.compress,
                 credit_of(settings, credit, offline.get(), frame));
    return 0;
}

}  // namespace plotr
