#include "render/output.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "common/failure.h"
#include "common/fd.h"
#include "common/text.h"

namespace plotr {

namespace {

// The temporary file of the write under way, for abandon_output in a signal
// handler; empty when none.
char temporary_path[PATH_MAX + 64];
std::atomic<bool> writing_temporary{false};

// The file a name finally stands for: symbolic links followed, as a write
// through them would, even to a target that does not exist yet.
std::string final_target(std::string path) {
    for (int link = 0; link < 40; ++link) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return path;
        }
        std::string target(PATH_MAX, '\0');
        const ssize_t length = readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            return path;
        }
        target.resize(static_cast<std::size_t>(length));
        const auto slash = path.rfind('/');
        path = target.starts_with('/') || slash == std::string::npos
                   ? target
                   : path.substr(0, slash + 1) + target;
    }
    return path;
}

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

[[noreturn]] void write_failed() { throw failure("write_image failed"); }

// Devices and pipes take the picture as it comes.
void write_directly(const std::string& path, const std::string& bytes) {
    Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0 || !write_all(fd.get(), bytes.data(), bytes.size()) || fd.close() != 0) {
        write_failed();
    }
}

// A new file beside the old one, renamed over it once complete: the old file
// stays whole until then, whatever fails.
void replace_file(const std::string& path, const std::string& bytes, const struct stat* old) {
    const auto slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    static unsigned counter = 0;
    Fd fd;
    for (int attempt = 0; attempt < 100 && fd.get() < 0; ++attempt) {
        const std::string temporary = format("%s.%s.plotr-%ld-%u", folder.c_str(), name.c_str(),
                                             static_cast<long>(getpid()), counter++);
        if (temporary.size() >= sizeof temporary_path) {
            write_failed();
        }
        std::memcpy(temporary_path, temporary.c_str(), temporary.size() + 1);
        writing_temporary.store(true);
        // 0666 less the umask, as a new file gets.
        fd = Fd(open(temporary_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd.get() < 0) {
            writing_temporary.store(false);
            if (errno != EEXIST) {
                write_failed();
            }
        }
    }
    const bool written = fd.get() >= 0 &&
                         (old == nullptr || fchmod(fd.get(), old->st_mode & 07777) == 0) &&
                         write_all(fd.get(), bytes.data(), bytes.size()) && fd.close() == 0 &&
                         rename(temporary_path, path.c_str()) == 0;
    if (!written) {
        unlink(temporary_path);
    }
    writing_temporary.store(false);
    if (!written) {
        write_failed();
    }
}

// MagickCore keeps pixels that pass its memory limit in files of its temporary
// directory named "magick-" and 32 letters, digits, '_' or '-'.
// Only there: a file of that name elsewhere is someone's own.
bool is_magick_temporary(const char* path, std::size_t length) {
    const char* name = path + length;
    while (name > path && name[-1] != '/') {
        --name;
    }
    const char* folder = magick_temporary_folder();
    const std::size_t folder_length = std::strlen(folder);
    if (folder_length == 0 || name - path != static_cast<std::ptrdiff_t>(folder_length + 1) ||
        std::memcmp(path, folder, folder_length) != 0) {
        return false;
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

void check_output(const std::string& output) {
    const auto refuse = [&](const std::string& reason) {
        throw failure("cannot write the picture to " + output + ": " + reason);
    };
    if (output.empty()) {
        throw failure("cannot write the picture: the file name is empty");
    }
    const std::string target = final_target(output);
    struct stat st {};
    if (stat(target.c_str(), &st) != 0 && errno == ENAMETOOLONG) {
        refuse(std::strerror(errno));
    }
    if (target.ends_with('/') || (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
        refuse(std::strerror(EISDIR));
    }
    if (stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (access(target.c_str(), W_OK) != 0) {
            refuse(std::strerror(errno));
        }
    } else {
        const std::string folder = folder_of(target);
        if (stat(folder.c_str(), &st) != 0) {
            refuse(std::strerror(errno));
        }
        if (!S_ISDIR(st.st_mode)) {
            refuse(std::strerror(ENOTDIR));
        }
        if (access(folder.c_str(), W_OK | X_OK) != 0) {
            refuse(std::strerror(errno));
        }
    }
    if (const std::string format = forbidden_output_format(output); !format.empty()) {
        refuse("the imaging library's security policy does not allow the " + format + " format");
    }
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
    write_image(canvas, output, settings);
}

void write_image(image_handle& image, const std::string& path, encoder_settings settings) {
    if (path.empty()) {
        write_failed();
    }
    if (path.size() > max_path_length) {
        throw failure("write_image failed: path longer than 4095 bytes");
    }
    const std::string bytes =
        encode_image(image, output_format(path), path.substr(path.rfind('/') + 1), settings);
    const std::string target = final_target(path);
    struct stat st {};
    if (stat(target.c_str(), &st) != 0) {
        replace_file(target, bytes, nullptr);
    } else if (S_ISREG(st.st_mode)) {
        replace_file(target, bytes, &st);
    } else {
        write_directly(target, bytes);
    }
}

void abandon_output() {
    if (writing_temporary.load()) {
        unlink(temporary_path);
    }
    // MagickCore's own clean-up walks a locked list and allocates, which no
    // signal handler may do: its temporary files are found through /proc instead.
    remove_open_magick_files();
    remove_mapped_magick_files();
}

}  // namespace plotr
