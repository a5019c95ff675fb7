#include "tiles/tile_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/atomic_file.h"
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

std::vector<gid_t> my_groups() {
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)) + 1);
    const int count = getgroups(static_cast<int>(groups.size()) - 1, groups.data() + 1);
    groups.resize(static_cast<std::size_t>(std::max(count, 0)) + 1);
    groups[0] = getegid();
    return groups;
}

// Gives the folder's permission bits.
mode_t check_trusted(int fd, const std::string& path) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        unusable(path, std::strerror(errno));
    }
    if (const std::string reason = cache_folder_distrust(st, geteuid(), my_groups());
        !reason.empty()) {
        unusable(path, reason);
    }
    check_writable(fd, path);
    return st.st_mode & 07777;
}

// The user's own folder: symbolic links in its path are the user's choice.
Fd open_top(const std::string& dir, mode_t& mode) {
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
    mode = check_trusted(fd.get(), dir);
    return fd;
}

// Inside the cache nothing is followed: a link planted for a folder is refused.
// A new folder gets its parent's owner and group bits and setgid, never
// others', so a private cache stays private and a shared one stays usable by
// its group. Set explicitly: the usual umask 022 would take the group's write.
Fd open_folder(int parent, mode_t parent_mode, const std::string& name, const std::string& path,
               mode_t& mode) {
    const mode_t wanted = parent_mode & 02770;
    const bool made = mkdirat(parent, name.c_str(), wanted & 0777) == 0;
    if (!made && errno != EEXIST) {
        unusable(path, std::strerror(errno));
    }
    Fd fd(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        unusable(path, errno == ELOOP || errno == ENOTDIR
                           ? "a symbolic link or a file is in the place of a folder"
                           : std::strerror(errno));
    }
    if (made) {
        fchmod(fd.get(), wanted);  // checked below, as any folder
    }
    mode = check_trusted(fd.get(), path);
    return fd;
}

// Created exclusively, so that a link planted there is never written
// through; with exactly `mode`, whatever the umask.
Fd create_exclusively(int dir, const std::string& name, int flags, mode_t mode) {
    Fd fd(openat(dir, name.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd.get() >= 0) {
        fchmod(fd.get(), mode);
    }
    return fd;
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

std::string slug_of(const std::string& url_template) {
    std::string host = url_template;
    if (const auto scheme = host.find("://"); scheme != std::string::npos) {
        host.erase(0, scheme + 3);
    }
    host = host.substr(0, host.find_first_of("/?#"));
    // Neither a user's name and password nor the port.
    if (const auto at = host.rfind('@'); at != std::string::npos) {
        host.erase(0, at + 1);
    }
    if (host.starts_with('[')) {
        host = host.substr(0, host.find(']') + 1);
    } else {
        host = host.substr(0, host.find(':'));
    }
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

// The template as the `template` file keeps it: without a user's name and
// password.
std::string without_userinfo(const std::string& url_template) {
    const auto scheme = url_template.find("://");
    const std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const std::size_t end = url_template.find_first_of("/?#", start);
    const auto at = url_template.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (at == std::string::npos || at < start) {
        return url_template;
    }
    return url_template.substr(0, start) + url_template.substr(at + 1);
}

}  // namespace

std::string cache_folder_distrust(const struct stat& folder, uid_t uid,
                                  const std::vector<gid_t>& groups) {
    // Anyone who can write a folder can plant tiles in it.
    if ((folder.st_mode & S_IWOTH) != 0) {
        return "writable by others";
    }
    // Root is in its own group by being root, not by a choice to share.
    const bool shared = (folder.st_mode & S_IWGRP) != 0 && !(uid == 0 && folder.st_gid == 0) &&
                        std::find(groups.begin(), groups.end(), folder.st_gid) != groups.end();
    if (folder.st_uid != uid && folder.st_uid != 0 && !shared) {
        return format("owned by another user (uid %ld)", static_cast<long>(folder.st_uid));
    }
    return "";
}

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
    mode_t mode = 0;
    const Fd top = open_top(top_path, mode);
    const std::string folder = cache_folder_name(url_template);
    const std::string folder_path = (top_path == "/" ? "" : top_path) + "/" + folder;
    const Fd template_folder = open_folder(top.get(), mode, folder, folder_path, mode);
    struct stat st {};
    if (fstatat(template_folder.get(), "template", &st, AT_SYMLINK_NOFOLLOW) != 0) {
        replace_atomically(template_folder.get(), "template", mode & 0660, Mode_rule::exact,
                           [&](int fd) {
                               const std::string text = without_userinfo(url_template) + "\n";
                               return write_all(fd, text.data(), text.size());
                           });
    }
    const std::string z = std::to_string(zoom);
    zoom_path_ = folder_path + "/" + z;
    zoom_ = open_folder(template_folder.get(), mode, z, zoom_path_, mode);
    for (int x = first_column; x <= last_column; ++x) {
        const std::string name = std::to_string(x);
        mode_t column_mode = 0;
        Fd fd = open_folder(zoom_.get(), mode, name, zoom_path_ + "/" + name, column_mode);
        columns_.emplace(x, Column{std::move(fd), column_mode & 0660, Fd()});
    }
}

const Tile_cache::Column* Tile_cache::column(int x) const {
    const auto found = columns_.find(x);
    return found == columns_.end() ? nullptr : &found->second;
}

std::string Tile_cache::path_of(int x, int y) const {
    return format("%s/%d/%d.png", zoom_path_.c_str(), x, y);
}

Tile_cache::Entry Tile_cache::find(int x, int y, std::time_t now) const {
    const std::string name = std::to_string(y) + ".png";
    Entry entry{State::missing, path_of(x, y), 0};
    struct stat st {};
    const Column* c = column(x);
    if (c != nullptr && fstatat(c->fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode)) {
        entry.mtime = st.st_mtime;
        // One from the future (a clock set wrong) is not trusted to be fresh.
        const bool fresh = now - st.st_mtime < fresh_seconds && st.st_mtime - now <= 24 * 60 * 60;
        entry.state = fresh ? State::fresh : State::stale;
    }
    return entry;
}

Fd Tile_cache::open_entry(int x, int y) const {
    const Column* c = column(x);
    if (c == nullptr) {
        return Fd();
    }
    Fd fd(openat(c->fd.get(), (std::to_string(y) + ".png").c_str(),
                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.get() >= 0 && (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
        return Fd();
    }
    return fd;
}

void Tile_cache::refresh(int x, int y) const {
    // Unchecked: an entry another run has just replaced is fresh anyway.
    if (const Column* c = column(x)) {
        utimensat(c->fd.get(), (std::to_string(y) + ".png").c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
    }
}

bool Tile_cache::store(int x, int y, const std::string& file) const {
    const Fd in(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    const Column* c = column(x);
    if (in.get() < 0 || c == nullptr) {
        return false;
    }
    // Whole or not at all: readers see the old entry or the new one.
    return replace_atomically(c->fd.get(), std::to_string(y) + ".png", c->mode,
                              Mode_rule::exact,
                              [&](int out) { return copy_contents(in.get(), out); });
}

// One lock file per column, one byte per row. Open file description locks
// belong to this descriptor alone and go with the process, however it ends.
bool Tile_cache::try_lock(int x, int y) {
    auto found = columns_.find(x);
    if (found == columns_.end()) {
        return true;
    }
    Column& c = found->second;
    if (c.lock.get() < 0) {
        c.lock = create_exclusively(c.fd.get(), ".lock", O_RDWR, c.mode);
        if (c.lock.get() < 0 && errno == EEXIST) {
            c.lock = Fd(openat(c.fd.get(), ".lock", O_RDWR | O_NOFOLLOW | O_CLOEXEC));
        }
        if (c.lock.get() < 0) {
            return true;  // unlocked then, as before locks: at worst a tile twice
        }
    }
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = y;
    range.l_len = 1;
    const int result = fcntl(c.lock.get(), F_OFD_SETLK, &range);
    return result == 0 || (errno != EAGAIN && errno != EACCES);
}

void Tile_cache::unlock(int x, int y) {
    const auto found = columns_.find(x);
    if (found == columns_.end() || found->second.lock.get() < 0) {
        return;
    }
    struct flock range {};
    range.l_type = F_UNLCK;
    range.l_whence = SEEK_SET;
    range.l_start = y;
    range.l_len = 1;
    fcntl(found->second.lock.get(), F_OFD_SETLK, &range);
}

}  // namespace plotr
