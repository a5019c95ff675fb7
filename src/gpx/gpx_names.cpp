#include "gpx/gpx_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <utility>

#include "common/failure.h"
#include "common/text.h"

namespace plotr {

namespace {

[[noreturn]] void cannot_read(const std::string& name, int error) {
    throw failure("cannot read " + name + ": " + std::strerror(error));
}

struct Close_dir {
    void operator()(DIR* dir) const { closedir(dir); }
};

using Seen = std::set<std::pair<dev_t, ino_t>>;

void walk(const std::string& folder, Seen& seen, std::vector<std::string>& found) {
    const std::unique_ptr<DIR, Close_dir> dir(opendir(folder.c_str()));
    if (!dir) cannot_read(folder, errno);
    struct stat own {};
    // A link back up the tree would otherwise be walked for ever.
    if (fstat(dirfd(dir.get()), &own) != 0) cannot_read(folder, errno);
    if (!seen.insert({own.st_dev, own.st_ino}).second) return;
    const std::string prefix = folder.ends_with('/') ? folder : folder + "/";
    for (errno = 0; const dirent* entry = readdir(dir.get()); errno = 0) {
        const std::string name = entry->d_name;
        if (name.starts_with('.')) continue;
        struct stat status {};
        // A dangling link is no folder and no ride; a FIFO would hang the run.
        if (fstatat(dirfd(dir.get()), name.c_str(), &status, 0) != 0) continue;
        if (S_ISDIR(status.st_mode)) {
            walk(prefix + name, seen, found);
        } else if (S_ISREG(status.st_mode) && is_gpx_name(name)) {
            found.push_back(prefix + name);
        }
    }
    if (errno != 0) cannot_read(folder, errno);
}

bool is_folder(const std::string& name) {
    struct stat status {};
    return stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string read_all(xmlm_shit::Byte_source& source) {
    std::string text;
    char buffer[65536];
    while (const size_t n = source.read(buffer, sizeof buffer)) text.append(buffer, n);
    return text;
}

std::string list_text(const std::string& list, xmlm_shit::Byte_source& standard_input) {
    if (list == "-") return read_all(standard_input);
    const int fd = ::open(list.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) cannot_read(list, errno);
    struct stat status {};
    const int error = fstat(fd, &status) != 0 ? errno : S_ISDIR(status.st_mode) ? EISDIR : 0;
    std::string text;
    try {
        if (error != 0) cannot_read(list, error);
        xmlm_shit::Fd_source source(fd);
        text = read_all(source);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return text;
}

}  // namespace

bool is_gpx_name(const std::string& name) {
    std::string lower = name;
    std::ranges::transform(lower, lower.begin(),
                           [](char c) { return std::tolower(static_cast<unsigned char>(c)); });
    return lower.ends_with(".gpx") || lower.ends_with(".gpx.gz");
}

std::vector<std::string> list_names(const std::string& text, const std::string& list) {
    std::vector<std::string> names;
    size_t number = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (line.ends_with('\r')) line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos || line.starts_with('#')) continue;
        // The name would be cut at the NUL and open another file.
        if (line.find('\0') != std::string::npos) {
            throw failure(
                format("cannot read %s: line %zu holds a NUL byte", list.c_str(), number));
        }
        names.push_back(std::move(line));
    }
    return names;
}

std::vector<std::string> folder_files(const std::string& folder) {
    Seen seen;
    std::vector<std::string> found;
    walk(folder, seen, found);
    std::ranges::sort(found);
    return found;
}

std::vector<std::string> gpx_names(const std::vector<std::string>& files,
                                   const std::vector<gpx_list>& lists,
                                   xmlm_shit::Byte_source& standard_input) {
    std::vector<std::string> names;
    const auto add = [&names](const std::string& name) {
        if (!is_folder(name)) {
            names.push_back(name);
            return;
        }
        const std::vector<std::string> found = folder_files(name);
        if (found.empty()) throw failure("no .gpx or .gpx.gz file in " + name);
        names.insert(names.end(), found.begin(), found.end());
    };
    size_t next = 0;
    for (size_t i = 0; i <= files.size(); ++i) {
        for (; next < lists.size() && lists[next].at == i; ++next) {
            const std::string& list = lists[next].file;
            const std::string shown = list == "-" ? "standard input" : list;
            const std::vector<std::string> listed =
                list_names(list_text(list, standard_input), shown);
            if (listed.empty()) throw failure("no file named in " + shown);
            for (const std::string& name : listed) add(name);
        }
        if (i < files.size()) add(files[i]);
    }
    return names;
}

}  // namespace plotr
