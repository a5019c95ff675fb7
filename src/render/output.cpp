#include "render/output.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/atomic_file.h"
#include "common/failure.h"
#include "common/fd.h"
#include "common/text.h"
#include "render/attribution.h"
#include "version.h"

#include <zlib.h>

namespace plotr {

namespace {

// Where an output name leads: every symbolic link on the way followed as the
// kernel would, but only where its protection of links in shared folders
// allows, whatever the system's own setting.
struct resolved_output {
    std::string path;      // no link left in it, unless `direct`
    std::string folder;    // where `path` is
    std::string name;      // its last component
    bool exists = false;   // then `st` holds what `path` is
    bool direct = false;   // a link the kernel resolves itself (/proc/self/fd/N)
    struct stat st {};
    std::string refusal;   // why the name must not be written; empty: it may
    bool planted = false;  // the refusal is a link of another user's
};

std::string joined(const std::string& folder, const std::string& name) {
    return folder == "." ? name : folder + "/" + name;
}

bool on_proc(const std::string& folder) {
    struct statfs fs {};
    return statfs(folder.c_str(), &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// In a sticky folder that anyone may write to, a link is followed, or a FIFO
// written to, only when it is the user's own or the folder owner's: another
// user may have planted it (to redirect the picture, or to hang the run).
std::string planted(const char* what, const std::string& link, const struct stat& st,
                    const std::string& folder) {
    struct stat dir {};
    if (stat(folder.c_str(), &dir) != 0 || (dir.st_mode & S_ISVTX) == 0 ||
        (dir.st_mode & S_IWOTH) == 0 || st.st_uid == geteuid() || st.st_uid == dir.st_uid) {
        return "";
    }
    return format("the %s %s belongs to another user (uid %ld) in %s, which anyone "
                  "may write to; it is not %s",
                  what, link.c_str(), static_cast<long>(st.st_uid), folder.c_str(),
                  S_ISLNK(st.st_mode) ? "followed" : "written to");
}

resolved_output resolve_output(const std::string& output) {
    resolved_output r;
    const auto refused = [&](const std::string& reason) {
        r.refusal = reason;
        return r;
    };
    // Components still to walk, the next one last.
    std::vector<std::string> rest;
    const auto push_components = [&](const std::string& path) {
        for (std::size_t end = path.size(); end != std::string::npos && end > 0;) {
            const std::size_t slash = path.rfind('/', end - 1);
            const std::size_t begin = slash == std::string::npos ? 0 : slash + 1;
            rest.push_back(path.substr(begin, end - begin));
            end = slash;
        }
    };
    push_components(output);
    // "" stands for the root.
    std::string current = output.starts_with('/') ? "" : ".";
    int links = 0;
    while (!rest.empty()) {
        const std::string component = std::move(rest.back());
        rest.pop_back();
        if (component.empty() || component == ".") {
            continue;
        }
        const std::string folder = current.empty() ? "/" : current;
        const std::string next = current.empty() ? "/" + component : joined(current, component);
        const bool last = std::ranges::all_of(rest, [](const std::string& c) {
            return c.empty() || c == ".";
        });
        struct stat st {};
        if (lstat(next.c_str(), &st) != 0) {
            if (errno != ENOENT || !last || on_proc(folder)) {
                return refused(std::strerror(errno));
            }
            r.path = next;
            r.folder = folder;
            r.name = component;
            return r;
        }
        if (S_ISLNK(st.st_mode)) {
            if (++links > 40) {
                return refused(std::strerror(ELOOP));
            }
            if (std::string reason = planted("symbolic link", next, st, folder); !reason.empty()) {
                r.planted = true;
                return refused(reason);
            }
            // Links of /proc name open files, pipes included, that no path reaches.
            if (on_proc(folder)) {
                r.path = next;
                for (auto c = rest.rbegin(); c != rest.rend(); ++c) {
                    r.path += "/" + *c;
                }
                r.direct = true;
                r.exists = stat(r.path.c_str(), &r.st) == 0;
                return r.exists ? r : refused(std::strerror(errno));
            }
            std::string target(PATH_MAX, '\0');
            const ssize_t length = readlink(next.c_str(), target.data(), target.size());
            if (length < 0) {
                return refused(std::strerror(errno));
            }
            if (static_cast<std::size_t>(length) >= target.size()) {
                return refused(std::strerror(ENAMETOOLONG));
            }
            target.resize(static_cast<std::size_t>(length));
            if (target.starts_with('/')) {
                current = "";
            }
            push_components(target);
            continue;
        }
        if (!last && !S_ISDIR(st.st_mode)) {
            return refused(std::strerror(ENOTDIR));
        }
        current = next;
        r.folder = folder;
        r.name = component;
    }
    r.path = current.empty() ? "/" : current;
    r.exists = stat(r.path.c_str(), &r.st) == 0;
    if (!r.exists) {
        return refused(std::strerror(errno));
    }
    if (S_ISFIFO(r.st.st_mode)) {
        if (std::string reason = planted("FIFO", r.path, r.st, r.folder); !reason.empty()) {
            return refused(reason);
        }
    }
    return r;
}

bool can_write(const std::string& path, int mode, std::string& reason) {
    if (faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    return true;
}

// Renaming a new file over the old one needs the folder, and in a sticky
// folder an old file of the user's own (or the folder's).
bool can_rename_over(const resolved_output& r) {
    struct stat dir {};
    std::string reason;
    return can_write(r.folder, W_OK | X_OK, reason) && stat(r.folder.c_str(), &dir) == 0 &&
           ((dir.st_mode & S_ISVTX) == 0 || r.st.st_uid == geteuid() ||
            dir.st_uid == geteuid() || geteuid() == 0);
}

[[noreturn]] void write_failed() { throw failure("write_image failed"); }

// Devices and pipes take the picture as it comes; so does a file the user may
// write but not replace, which then is briefly incomplete.
void write_directly(const std::string& path, const std::string& bytes, int flags) {
    Fd fd(open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | flags));
    if (fd.get() < 0 || !write_all(fd.get(), bytes.data(), bytes.size()) || fd.close() != 0) {
        write_failed();
    }
}

// A new file beside the old one, renamed over it once complete: the old file
// stays whole until then, whatever fails.
void replace_file(const resolved_output& r, const std::string& bytes) {
    const Fd folder(open(r.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    // A new picture gets 0666 less the umask, as any new file; an old one's bits stay.
    const bool written =
        folder.get() >= 0 &&
        replace_atomically(folder.get(), r.name, r.exists ? r.st.st_mode & 07777 : 0666,
                           r.exists ? Mode_rule::exact : Mode_rule::less_umask, [&](int fd) {
                               return write_all(fd, bytes.data(), bytes.size());
                           });
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

std::vector<std::pair<std::string, std::string>> credit_entries(const picture_text& text) {
    std::vector<std::pair<std::string, std::string>> entries;
    const std::string line = single_line(text.copyright);
    if (line.empty()) return entries;
    const std::pair<const char*, std::string> all[] = {{"Copyright", line},
                                                       {"Software", "plotr " PLOTR_VERSION},
                                                       {"Source", text.source},
                                                       {"Comment", text.comment}};
    for (const auto& [key, value] : all) {
        if (!value.empty()) entries.emplace_back(key, value);
    }
    return entries;
}

std::string with_png_text(const std::string& png,
                          const std::vector<std::pair<std::string, std::string>>& entries) {
    // The signature (8 bytes) and IHDR (4 + 4 + 13 + 4) always come first.
    constexpr size_t after_header = 33;
    if (entries.empty() || png.size() < after_header) return png;
    std::string chunks;
    for (const auto& [key, value] : entries) {
        const bool ascii = std::ranges::all_of(
            value, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        // iTXt: no compression, no language, no translated keyword.
        const std::string body =
            (ascii ? "tEXt" : "iTXt") + key + std::string(1, '\0') +
            (ascii ? "" : std::string("\0\0\0\0", 4)) + value;
        const auto big_endian = [](unsigned long v) {
            return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                               static_cast<char>(v >> 8), static_cast<char>(v)};
        };
        const unsigned long crc =
            crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
        chunks += big_endian(body.size() - 4) + body + big_endian(crc);
    }
    return png.substr(0, after_header) + chunks + png.substr(after_header);
}

std::string template_host(const std::string& url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) return "";
    std::string host = url.substr(scheme + 3, url.find_first_of("/?#", scheme + 3) - scheme - 3);
    host.erase(0, host.rfind('@') + 1);  // a user name and password never go into the file
    if (const size_t port = host.rfind(':'); port != std::string::npos && host.back() != ']') {
        host.erase(port);
    }
    if (host.starts_with("{s}.")) host.erase(0, 4);
    return host;
}

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
    struct stat st {};
    if (stat(output.c_str(), &st) != 0 && errno == ENAMETOOLONG) {
        refuse(std::strerror(errno));
    }
    const resolved_output r = resolve_output(output);
    if (!r.refusal.empty()) {
        refuse(r.refusal);
    }
    if (output.ends_with('/') || (r.exists && S_ISDIR(r.st.st_mode))) {
        refuse(std::strerror(EISDIR));
    }
    // The file itself as a shell's ">" would open it, or a new one in its folder.
    std::string reason;
    if (r.exists ? !can_write(r.path, W_OK, reason) : !can_write(r.folder, W_OK | X_OK, reason)) {
        refuse(reason);
    }
    if (const std::string format = forbidden_output_format(output); !format.empty()) {
        refuse("the imaging library's security policy does not allow the " + format + " format");
    }
}

void write_output(Console& console, image_handle& canvas, const std::string& output, bool compress,
                  const picture_text& text) {
    console.out_flushed("writing to " + output + "\n");
    encoder_settings settings;
    if (compress) {
        compress_output(canvas);
        // Quality and colours 0 leave the encoder at its defaults, which would
        // write the same 16-bit file; ask for 8 bits a sample and zlib's
        // strongest level with adaptive filtering instead.
        settings = {.depth = 8, .quality = 95};
    }
    write_image(canvas, output, settings, text);
}

void write_image(image_handle& image, const std::string& path, encoder_settings settings,
                 const picture_text& text) {
    if (path.empty()) {
        write_failed();
    }
    if (path.size() > max_path_length) {
        throw failure("write_image failed: path longer than 4095 bytes");
    }
    const std::string format = output_format(path);
    const auto entries = credit_entries(text);
    // MagickCore writes PNG text only as tEXt, which is Latin-1: a credit in any
    // script goes in as chunks of our own.
    if (format != "PNG" && !entries.empty()) {
        std::string all;
        for (const auto& [key, value] : entries) all += key + ": " + value + "\n";
        all.pop_back();
        set_image_text(image, "comment", all);
        set_image_text(image, "tiff:copyright", entries.front().second);
        set_image_text(image, "tiff:software", entries[1].second);
    }
    std::string bytes = encode_image(image, format, path.substr(path.rfind('/') + 1), settings);
    if (format == "PNG") bytes = with_png_text(bytes, entries);
    const resolved_output r = resolve_output(path);
    // A link planted since the run began is named; all else fails as a write.
    if (r.planted) {
        throw failure("cannot write the picture to " + path + ": " + r.refusal);
    }
    if (!r.refusal.empty()) {
        write_failed();
    }
    if (r.direct || (r.exists && !S_ISREG(r.st.st_mode))) {
        write_directly(r.path, bytes, 0);
    } else if (!r.exists || can_rename_over(r)) {
        replace_file(r, bytes);
    } else {
        write_directly(r.path, bytes, O_NOFOLLOW);
    }
}

void abandon_output() {
    abandon_replacement();
    // MagickCore's own clean-up walks a locked list and allocates, which no
    // signal handler may do: its temporary files are found through /proc instead.
    remove_open_magick_files();
    remove_mapped_magick_files();
}

}  // namespace plotr
