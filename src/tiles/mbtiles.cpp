#include "tiles/mbtiles.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "common/failure.h"
#include "common/text.h"
#include "tiles/tile_settings.h"

namespace plotr {

namespace {

// A URI, so that no file name is ever taken for one, and mode=ro. Never
// immutable: another process may be writing the file.
std::string read_only_uri(const std::string& path) {
    std::string uri = path.starts_with('/') ? "file://" : "file:";
    for (const char c : path) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~' ||
                           c == '/';
        uri += plain ? std::string(1, c) : format("%%%02X", static_cast<unsigned char>(c));
    }
    return uri + "?mode=ro";
}

// A zoom as the file writes it: an integer or the text of one, 0..22.
std::optional<int> zoom_value(sqlite3_stmt* row) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(row, 1));
    const std::string value = text != nullptr ? text : "";
    if (value.empty() || value.size() > 2 ||
        !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const int zoom = std::stoi(value);
    return zoom <= 22 ? std::optional(zoom) : std::nullopt;
}

}  // namespace

void Mbtiles::Closer::operator()(sqlite3* db) const { sqlite3_close_v2(db); }
void Mbtiles::Closer::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

Mbtiles::Mbtiles(std::string path) : path_(std::move(path)) {
    // SQLite would call a folder a disk I/O error, and wait for a FIFO's writer.
    struct stat status {};
    if (stat(path_.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        fail(S_ISDIR(status.st_mode) ? "it is a folder" : "it is not a regular file");
    }
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(read_only_uri(path_).c_str(), &db,
                                       SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    db_.reset(db);
    if (opened != SQLITE_OK) {
        // "unable to open database file" alone does not say whether it is missing or forbidden.
        const int error = db != nullptr ? sqlite3_system_errno(db) : 0;
        fail(std::string(db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(opened)) +
             (error != 0 ? std::string(" (") + std::strerror(error) + ")" : ""));
    }
    // A view of a hostile file could otherwise sort its way through all memory.
    sqlite3_hard_heap_limit64(max_heap_bytes);
    sqlite3_busy_timeout(db, busy_milliseconds);
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, max_value_bytes);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_progress_handler(
        db, 10000,
        [](void* self) {
            return std::chrono::steady_clock::now() > static_cast<Mbtiles*>(self)->deadline_ ? 1
                                                                                             : 0;
        },
        this);
    // The snapshot begins at the first read and lasts until the file is closed.
    check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr));
    tile_query_ = prepare(
        "SELECT tile_data FROM tiles"
        " WHERE zoom_level = ?1 AND tile_column = ?2 AND tile_row = ?3");
    read_metadata();
}

Mbtiles::~Mbtiles() = default;

void Mbtiles::fail(const std::string& reason) const { throw failure(path_ + ": " + reason); }

void Mbtiles::check(int code) const {
    if (code == SQLITE_INTERRUPT) {
        fail(format("a query took longer than %ld seconds", static_cast<long>(query_time.count())));
    }
    if (code != SQLITE_OK && code != SQLITE_ROW && code != SQLITE_DONE) {
        // SQLite's words alone suggest we write; we only may not make the index beside it.
        const bool wal = sqlite3_extended_errcode(db_.get()) == SQLITE_READONLY_DIRECTORY;
        fail(std::string(sqlite3_errmsg(db_.get())) +
             (wal ? " (a WAL file: its -shm file is missing and the folder may not be written)"
                  : ""));
    }
}

std::unique_ptr<sqlite3_stmt, Mbtiles::Closer> Mbtiles::prepare(const char* sql) const {
    sqlite3_stmt* statement = nullptr;
    start_query();
    const int code = sqlite3_prepare_v2(db_.get(), sql, -1, &statement, nullptr);
    std::unique_ptr<sqlite3_stmt, Closer> owned(statement);
    // Plain errors are a schema without the tables or columns asked for;
    // others (a locked, damaged or foreign file) say so themselves.
    if (code == SQLITE_ERROR) {
        fail(std::string("not an MBTiles file (") + sqlite3_errmsg(db_.get()) + ")");
    }
    check(code);
    return owned;
}

void Mbtiles::start_query() const { deadline_ = std::chrono::steady_clock::now() + query_time; }

void Mbtiles::read_metadata() {
    const auto rows = prepare(
        "SELECT name, value FROM metadata WHERE name IN"
        " ('name', 'attribution', 'minzoom', 'maxzoom', 'format')");
    sqlite3_stmt* raw = rows.get();
    std::optional<int> max_zoom_given;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(raw)) == SQLITE_ROW) {
        const auto* key = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
        const std::string name = key != nullptr ? key : "";
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(raw, 1));
        std::string value(text != nullptr ? text : "",
                          text != nullptr ? static_cast<size_t>(sqlite3_column_bytes(raw, 1)) : 0);
        if (value.size() > max_text_bytes) {
            fail(format("the metadata %s is longer than %zu bytes", name.c_str(), max_text_bytes));
        }
        if (name == "minzoom" || name == "maxzoom") {
            const std::optional<int> zoom = zoom_value(raw);
            if (!zoom) {
                fail("the metadata " + name + " " + quoted_excerpt(value) +
                     " is no zoom from 0 to 22");
            }
            if (name == "minzoom") {
                metadata_.min_zoom = *zoom;
            } else {
                max_zoom_given = zoom;
            }
        } else if (name == "format" && value == "pbf") {
            fail("it holds vector tiles (format pbf), not pictures");
        } else if (name == "name") {
            // It goes to a terminal: no control character may steer it.
            std::replace_if(
                value.begin(), value.end(),
                [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }, '?');
            metadata_.name = value;
        } else if (name == "attribution") {
            metadata_.attribution = value;
        }
    }
    check(step);
    // Without a word on it, as deep as templates go, or as the file begins.
    metadata_.max_zoom = max_zoom_given.value_or(std::max(max_zoom, metadata_.min_zoom));
    if (metadata_.min_zoom > metadata_.max_zoom) {
        fail(format("the metadata minzoom %d is above maxzoom %d", metadata_.min_zoom,
                    metadata_.max_zoom));
    }
}

std::optional<std::string> Mbtiles::tile(int z, int x, int y) const {
    sqlite3_stmt* query = tile_query_.get();
    sqlite3_reset(query);
    sqlite3_bind_int(query, 1, z);
    sqlite3_bind_int(query, 2, x);
    // The file counts rows from the south.
    sqlite3_bind_int64(query, 3, (int64_t{1} << z) - 1 - y);
    start_query();
    const int step = sqlite3_step(query);
    check(step);
    if (step != SQLITE_ROW) {
        return std::nullopt;
    }
    const void* data = sqlite3_column_blob(query, 0);
    const int size = sqlite3_column_bytes(query, 0);
    if (data == nullptr || size <= 0) {
        return std::nullopt;
    }
    return std::string(static_cast<const char*>(data), static_cast<size_t>(size));
}

void Mbtiles::deliver(int zoom, int last_tile_index, const tile_range& range, bool wraps,
                      Console& console, const Tile_paste& paste) const {
    const std::string& name = metadata_.name;
    console.out_flushed("reading tiles from " + path_ + (name.empty() ? "" : " (" + name + ")") +
                        "\n");
    const int n = last_tile_index + 1;
    tile_range span = wraps ? wrapped_columns(range, n) : range;
    if (!wraps) {
        span.first_column = std::max(0, span.first_column);
        span.last_column = std::min(span.last_column, last_tile_index);
    }
    int asked = 0;
    int missing = 0;
    for (int column = span.first_column; column <= span.last_column; ++column) {
        const int x = column - floor_div(column, n) * n;
        for (int y = std::max(0, range.first_row); y <= std::min(range.last_row, last_tile_index);
             ++y) {
            ++asked;
            std::optional<std::string> data = tile(zoom, x, y);
            if (!data) {
                ++missing;
                continue;
            }
            paste(tile_entry{.x = column,
                             .y = y,
                             .file = path_,
                             .url = format("%s (tile %d/%d/%d)", path_.c_str(), zoom, x, y),
                             .data = std::move(*data)});
        }
    }
    if (missing > 0) {
        console.err(format("plotr: %d of %d tiles are not in %s\n", missing, asked, path_.c_str()));
    }
}

std::unique_ptr<const Mbtiles> open_mbtiles(const std::string& path) {
    return path.empty() ? nullptr : std::make_unique<const Mbtiles>(path);
}

}  // namespace plotr
