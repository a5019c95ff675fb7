#include "render/output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

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
    // What MagickCore's own handler would do, had ours not taken its place.
    AsynchronousResourceComponentTerminus();
}

}  // namespace plotr
