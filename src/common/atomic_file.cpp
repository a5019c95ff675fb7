#include "common/atomic_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "common/fd.h"
#include "common/text.h"

namespace plotr {

namespace {

// The replacement under way, for abandon_replacement in a signal handler.
// One at a time: the program has one thread.
char pending_name[NAME_MAX + 1];
std::atomic<int> pending_dir{-1};
std::atomic<bool> pending{false};

// Names next to the file, so that the rename stays on its file system. The
// file's own name goes in cut short, so that a long one still leaves room.
Fd create_temporary(int dir, const std::string& name, mode_t mode) {
    static unsigned counter = 0;
    const std::string stem = name.substr(0, NAME_MAX - 40);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temporary =
            format(".%s.%ld.%u", stem.c_str(), static_cast<long>(getpid()), counter++);
        std::memcpy(pending_name, temporary.c_str(), temporary.size() + 1);
        pending_dir.store(dir);
        pending.store(true);
        Fd fd(openat(dir, pending_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     mode));
        if (fd.get() >= 0) {
            return fd;
        }
        pending.store(false);
        if (errno != EEXIST) {
            break;
        }
    }
    return Fd();
}

}  // namespace

bool replace_atomically(int dir, const std::string& name, mode_t mode, Mode_rule rule,
                        const std::function<bool(int fd)>& fill) {
    Fd out = create_temporary(dir, name, rule == Mode_rule::exact ? 0600 : mode);
    if (out.get() < 0) {
        return false;
    }
    const bool done = (rule == Mode_rule::less_umask || fchmod(out.get(), mode) == 0) &&
                      fill(out.get()) && out.close() == 0 &&
                      renameat(dir, pending_name, dir, name.c_str()) == 0;
    if (!done) {
        const int error = errno;
        unlinkat(dir, pending_name, 0);
        errno = error;
    }
    pending.store(false);
    return done;
}

void abandon_replacement() {
    if (pending.load()) {
        unlinkat(pending_dir.load(), pending_name, 0);
    }
}

}  // namespace plotr
