#include "tiles/tile_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/failure.h"
#include "common/text.h"

namespace plotr {

namespace {

[[noreturn]] void unusable(const std::string& path, const std::string& reason) {
    throw failure("cannot use the tile cache folder " + path + ": " + reason);
}

void check_writable(int fd, const std::string& path) {
    if (faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        unusable(path, std::strerror(errno));
    }
}

// The user's own folder: symbolic links in its path are the user's choice.
Fd open_top(const std::string& dir) {
    for (std::size_t slash = dir.find('/', 1); slash != std::string::npos;
         slash = dir.find('/', slash + 1)) {
        mkdir(dir.substr(0, slash).c_str(), 0700);
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        unusable(dir, std::strerror(errno));
    }
    Fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) {
        unusable(dir, std::strerror(errno));
    }
    check_writable(fd.get(), dir);
    return fd;
}

// Inside the cache nothing is followed: a link planted for a folder is refused.
Fd open_folder(int parent, const std::string& name, const std::string& path) {
    if (mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) {
        unusable(path, std::strerror(errno));
    }
    Fd fd(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        unusable(path, errno == ELOOP || errno == ENOTDIR
                           ? "a symbolic link or a file is in the place of a folder"
                           : std::strerror(errno));
    }
    check_writable(fd.get(), path);
    return fd;
}

// A name no other writer uses, created exclusively, so that a link planted
// there is never written through.
Fd create_temporary(int dir, const std::string& name, std::string& temporary) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = format(".%s.%ld.%u", name.c_str(), static_cast<long>(getpid()), counter++);
        Fd fd(openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     0600));
        if (fd.get() >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return Fd();
}

bool copy_contents(int from, int to) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        if (!write_all(to, buffer, static_cast<std::size_t>(n))) {
            return false;
        }
    }
}

// Whole or not at all: readers see the old entry or the new one.
template <typename Fill>
bool replace_atomically(int dir, const std::string& name, Fill fill) {
    std::string temporary;
    Fd out = create_temporary(dir, name, temporary);
    if (out.get() < 0) {
        return false;
    }
    const bool filled = fill(out.get()) && out.close() == 0;
    if (filled && renameat(dir, temporary.c_str(), dir, name.c_str()) == 0) {
        return true;
    }
    unlinkat(dir, temporary.c_str(), 0);
    return false;
}

std::string slug_of(const std::string& url_template) {
    std::string host = url_template;
    if (const auto scheme = host.find("://"); scheme != std::string::npos) {
        host.erase(0, scheme + 3);
    }
    host = host.substr(0, host.find('/'));
    if (host.starts_with("{s}.")) {
        host.erase(0, 4);
    }
    std::string slug;
    for (const char c : host) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-';
        if (slug.size() < 48 && (plain || !slug.empty())) {
            slug += plain ? c : '_';
        }
    }
    // Never a hidden name, nor one a command would read as an option.
    while (!slug.empty() && (slug[0] == '.' || slug[0] == '-' || slug[0] == '_')) {
        slug.erase(0, 1);
    }
    return slug;
}

}  // namespace

std::string default_cache_dir(const char* xdg_cache_home, const char* home) {
    if (xdg_cache_home != nullptr && *xdg_cache_home != '\0') {
        return std::string(xdg_cache_home) + "/plotr/tiles";
    }
    if (home != nullptr && *home != '\0') {
        return std::string(home) + "/.cache/plotr/tiles";
    }
    throw failure("no folder for the tile cache: set XDG_CACHE_HOME or HOME, or give -cache DIR");
}

std::string cache_folder_name(const std::string& url_template) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const unsigned char c : url_template) {
        hash = (hash ^ c) * 0x100000001b3ULL;
    }
    const std::string slug = slug_of(url_template);
    return (slug.empty() ? "" : slug + "-") +
           format("%016llx", static_cast<unsigned long long>(hash));
}

Tile_cache::Tile_cache(const std::string& dir, const std::string& url_template, int zoom,
                       int first_column, int last_column) {
    std::string top_path = dir;
    while (top_path.size() > 1 && top_path.ends_with('/')) {
        top_path.pop_back();
    }
    const Fd top = open_top(top_path);
    const std::string folder = cache_folder_name(url_template);
    const std::string folder_path = (top_path == "/" ? "" : top_path) + "/" + folder;
    const Fd template_folder = open_folder(top.get(), folder, folder_path);
    struct stat st {};
    if (fstatat(template_folder.get(), "template", &st, AT_SYMLINK_NOFOLLOW) != 0) {
        replace_atomically(template_folder.get(), "template", [&](int fd) {
            const std::string text = url_template + "\n";
            return write_all(fd, text.data(), text.size());
        });
    }
    const std::string z = std::to_string(zoom);
    zoom_path_ = folder_path + "/" + z;
    zoom_ = open_folder(template_folder.get(), z, zoom_path_);
    for (int x = first_column; x <= last_column; ++x) {
        const std::string name = std::to_string(x);
        columns_.emplace(x, open_folder(zoom_.get(), name, zoom_path_ + "/" + name));
    }
}

int Tile_cache::column(int x) const {
    const auto found = columns_.find(x);
    return found == columns_.end() ? -1 : found->second.get();
}

Tile_cache::Entry Tile_cache::find(int x, int y, std::time_t now) const {
    const std::string name = std::to_string(y) + ".png";
    Entry entry{State::missing, format("%s/%d/%s", zoom_path_.c_str(), x, name.c_str()), 0};
    struct stat st {};
    if (column(x) >= 0 && fstatat(column(x), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode)) {
        entry.mtime = st.st_mtime;
        entry.state = now - st.st_mtime < fresh_seconds ? State::fresh : State::stale;
    }
    return entry;
}

void Tile_cache::refresh(int x, int y) const {
    // Unchecked: an entry another run has just replaced is fresh anyway.
    utimensat(column(x), (std::to_string(y) + ".png").c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
}

bool Tile_cache::store(int x, int y, const std::string& file) const {
    const Fd in(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0 || column(x) < 0) {
        return false;
    }
    return replace_atomically(column(x), std::to_string(y) + ".png",
                              [&](int out) { return copy_contents(in.get(), out); });
}

}  // namespace plotr
