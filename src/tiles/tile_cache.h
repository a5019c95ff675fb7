#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "common/fd.h"

namespace plotr {

/// The folder of one URL template inside a cache folder: a 64-bit FNV-1a hash
/// of the template in hex, after a readable slug of its host when it has one,
/// e.g. "tile.example.org-0123456789abcdef".
std::string cache_folder_name(const std::string& url_template);

/// The cache folder when none is named: $XDG_CACHE_HOME/plotr/tiles, or
/// $HOME/.cache/plotr/tiles when XDG_CACHE_HOME is unset or empty (either
/// may be null). Throws Failure when neither is set.
std::string default_cache_dir(const char* xdg_cache_home, const char* home);

/// Why a folder of a tile cache must not be used by user `uid` of `groups`
/// (effective and supplementary), or empty when it may: one writable by
/// others, or owned by another user than `uid` or root unless it is shared
/// (group-writable, of one of `groups`; for root, not its own group 0).
std::string cache_folder_distrust(const struct stat& folder, uid_t uid,
                                  const std::vector<gid_t>& groups);

/// Tiles kept between runs: <dir>/<cache_folder_name>/<z>/<x>/<y>.png, with
/// the template (without user name and password) in
/// <dir>/<cache_folder_name>/template. Entries enter by an atomic rename, so
/// several runs (or machines, on a filesystem where rename is atomic) can share
/// one folder. Below <dir>, no symbolic link is followed when folders are made
/// or entries read or written.
class Tile_cache {
public:
    /// An entry younger than this is used without asking the server.
    static constexpr std::time_t fresh_seconds = 7 * 24 * 60 * 60;

    /// Opens the folders of the zoom and of columns first..last, creating
    /// what is missing (<dir> with its parents with mode 0700; below it with
    /// the parent's owner and group bits and setgid, whatever the umask; its
    /// files with their folder's owner and group read and write bits). Throws
    /// Failure("cannot use the tile cache folder <path>: <reason>") when one
    /// cannot be made, is no folder, cannot be written, or is distrusted (see
    /// cache_folder_distrust).
    Tile_cache(const std::string& dir, const std::string& url_template, int zoom, int first_column,
               int last_column);

    enum class State { missing, fresh, stale };
    struct Entry {
        State state;
        std::string path;   ///< where the entry is, or would be
        std::time_t mtime;  ///< when it was stored or last confirmed; 0 when missing
    };

    /// The entry of tile (x, y) of an opened column; only a regular file
    /// counts. One dated more than a day ahead of `now` is stale.
    Entry find(int x, int y, std::time_t now) const;

    /// The entry opened for reading through its column's folder, never through
    /// a link; closed (-1) when there is no regular file.
    Fd open_entry(int x, int y) const;

    /// Marks the entry as confirmed by the server now.
    void refresh(int x, int y) const;

    /// Copies the file into the entry of tile (x, y) through a new temporary
    /// name and a rename. Gives false, leaving the entry as it was, when that
    /// fails (a full disk); the run goes on without it.
    bool store(int x, int y, const std::string& file) const;

    /// Takes tile (x, y) for this run, so that other runs wait instead of
    /// downloading it too: false when another run holds it. The lock goes with
    /// unlock or the process. Without a lock file, every tile is free.
    bool try_lock(int x, int y);
    void unlock(int x, int y);

private:
    struct Column {
        Fd fd;
        mode_t mode;  // of new entries
        Fd lock;      // opened at the first lock
    };
    const Column* column(int x) const;
    std::string path_of(int x, int y) const;

    std::string zoom_path_;
    Fd zoom_;
    std::map<int, Column> columns_;
};

}  // namespace plotr
