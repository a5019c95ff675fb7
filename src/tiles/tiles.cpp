#include "tiles/tiles.h"

#include <algorithm>

#include "cli/shell.h"
#include "common/text.h"

namespace plotr {

namespace {

std::string replace_first(std::string text, std::string_view placeholder,
                          const std::string& value) {
    const auto at = text.find(placeholder);
    if (at != std::string::npos) {
        text.replace(at, placeholder.size(), value);
    }
    return text;
}

tile_entry fetch_tile(const download_context& context, const std::string& temp_dir, int x, int y) {
    const std::string dir = format("%s/%d/%d", temp_dir.c_str(), context.zoom, x);
    const std::string file = format("%s/%d.png", dir.c_str(), y);
    const std::string url = tile_url(context.url_template, context.zoom, x, y);
    context.shell.run_command("mkdir -p " + shell_quote(dir));
    context.console.out_flushed("downloading tile " + url + "\n");
    context.shell.run_command("curl -f -s " + shell_quote(url) + " -o " + shell_quote(file));
    return {x, y, file};
}

}  // namespace

std::string tile_url(const std::string& url_template, int z, int x, int y) {
    std::string url = replace_first(url_template, "{s}", "a");
    url = replace_first(std::move(url), "{z}", std::to_string(z));
    url = replace_first(std::move(url), "{x}", std::to_string(x));
    return replace_first(std::move(url), "{y}", std::to_string(y));
}

std::vector<tile_entry> fetch_tiles(const download_context& context, const tile_range& range) {
    const int last_column = std::min(range.last_column, context.last_tile_index);
    const int last_row = std::min(range.last_row, context.last_tile_index);
    std::vector<std::vector<tile_entry>> columns;
    std::string temp_dir;
    for (int x = std::max(0, range.first_column); x <= last_column; ++x) {
        auto& column = columns.emplace_back();
        for (int y = std::max(0, range.first_row); y <= last_row; ++y) {
            if (temp_dir.empty()) {
                temp_dir = context.temp_dir();
            }
            column.push_back(fetch_tile(context, temp_dir, x, y));
        }
    }
    // Downloaded from the left; listed with the last column first.
    std::vector<tile_entry> listed;
    for (auto column = columns.rbegin(); column != columns.rend(); ++column) {
        listed.insert(listed.end(), column->begin(), column->end());
    }
    return listed;
}

}  // namespace plotr
