#include "render/output.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace plotr {

namespace {

// What the output path was before the write, so that only a file this run
// created or truncated is ever removed.
struct Output_snapshot {
    std::string path;
    bool existed;
    struct stat before;
};

Output_snapshot snapshot_of(const std::string& path) {
    Output_snapshot snapshot{path, false, {}};
    snapshot.existed = lstat(path.c_str(), &snapshot.before) == 0;
    return snapshot;
}

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Async-signal-safe. A regular file is removed when it is new, or when the
// regular file that was there was replaced, truncated or written since the
// snapshot. A symbolic link, a device or a pipe is left alone, and so is
// whatever took the place of one.
void remove_if_touched(const Output_snapshot& snapshot) {
    struct stat now {};
    if (lstat(snapshot.path.c_str(), &now) != 0 || !S_ISREG(now.st_mode)) {
        return;
    }
    const struct stat& before = snapshot.before;
    if (snapshot.existed &&
        (!S_ISREG(before.st_mode) ||
         (before.st_dev == now.st_dev && before.st_ino == now.st_ino &&
          before.st_size == now.st_size && same_time(before.st_mtim, now.st_mtim) &&
          same_time(before.st_ctim, now.st_ctim)))) {
        return;
    }
    unlink(snapshot.path.c_str());
}

// The write under way, for abandon_output in a signal handler.
std::atomic<const Output_snapshot*> writing{nullptr};
static_assert(std::atomic<const Output_snapshot*>::is_always_lock_free);

// MagickCore keeps pixels that pass its memory limit in files of its temporary
// directory named "magick-" and 32 letters, digits, '_' or '-'.
bool is_magick_temporary(const char* path, std::size_t length) {
    const char* name = path + length;
    while (name > path && name[-1] != '/') {
        --name;
    }
    constexpr std::size_t prefix = 7;
    constexpr std::size_t random = 32;
    if (path + length - name != prefix + random || std::memcmp(name, "magick-", prefix) != 0) {
        return false;
    }
    for (const char* c = name + prefix; c != path + length; ++c) {
        if (!((*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') ||
              *c == '_' || *c == '-')) {
            return false;
        }
    }
    return true;
}

// Async-signal-safe, as all below: open, read, readlink and unlink only.
void remove_if_magick_temporary(char* path, std::size_t length) {
    if (is_magick_temporary(path, length)) {
        path[length] = '\0';
        unlink(path);
    }
}

// A disk cache MagickCore holds open: /proc/self/fd/N links to it.
void remove_open_magick_files() {
    // Descriptors are handed out lowest first, and MagickCore keeps fewer open
    // than the usual limit of 1024.
    constexpr int fd_bound = 4096;
    for (int fd = 0; fd < fd_bound; ++fd) {
        char link[32] = "/proc/self/fd/";
        char digits[12];
        int n = 0;
        for (int v = fd; n == 0 || v != 0; v /= 10) {
            digits[n++] = static_cast<char>('0' + v % 10);
        }
        std::size_t at = std::strlen(link);
        while (n > 0) {
            link[at++] = digits[--n];
        }
        link[at] = '\0';
        char target[PATH_MAX];
        const ssize_t length = readlink(link, target, sizeof target - 1);
        if (length > 0) {
            remove_if_magick_temporary(target, static_cast<std::size_t>(length));
        }
    }
}

// A cache MagickCore maps and has closed: its path ends a line of /proc/self/maps.
void remove_mapped_magick_files() {
    const int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps < 0) {
        return;
    }
    char line[PATH_MAX + 128];
    std::size_t length = 0;
    bool whole = true;
    char block[4096];
    for (ssize_t got; (got = read(maps, block, sizeof block)) > 0;) {
        for (ssize_t i = 0; i < got; ++i) {
            if (block[i] != '\n') {
                if (length < sizeof line - 1) {
                    line[length++] = block[i];
                } else {
                    whole = false;
                }
                continue;
            }
            // The path is all from the line's first '/'.
            const char* path = static_cast<const char*>(std::memchr(line, '/', length));
            if (whole && path != nullptr) {
                remove_if_magick_temporary(line + (path - line), length - (path - line));
            }
            length = 0;
            whole = true;
        }
    }
    close(maps);
}

}  // namespace

void compress_output(image_handle& canvas) {
    set_image_type(canvas, TrueColorType);
    set_image_colors(canvas, 0);
    set_image_quality(canvas, 0);
    strip(canvas);
}

void write_output(Console& console, image_handle& canvas, const std::string& output,
                  bool compress) {
    console.out_flushed("writing to " + output + "\n");
    encoder_settings settings;
    if (compress) {
        compress_output(canvas);
        // Quality and colours 0 leave the encoder at its defaults, which would
        // write the same 16-bit file; ask for 8 bits a sample and zlib's
        // strongest level with adaptive filtering instead.
        settings = {.depth = 8, .quality = 95};
    }
    const Output_snapshot snapshot = snapshot_of(output);
    writing.store(&snapshot);
    try {
        write_image(canvas, output, settings);
    } catch (...) {
        writing.store(nullptr);
        remove_if_touched(snapshot);
        throw;
    }
    writing.store(nullptr);
}

void abandon_output() {
    if (const Output_snapshot* snapshot = writing.load()) {
        remove_if_touched(*snapshot);
    }
    // MagickCore's own clean-up walks a locked list and allocates, which no
    // signal handler may do: its temporary files are found through /proc instead.
    remove_open_magick_files();
    remove_mapped_magick_files();
}

}  // namespace plotr
