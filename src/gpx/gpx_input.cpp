#include "gpx/gpx_input.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "common/failure.h"
#include "common/text.h"
#include "gpx/gzip_source.h"

namespace plotr {

namespace {

int open_document(const std::string& name) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw failure("cannot read " + name + ": " + std::strerror(errno));
    struct stat status {};
    // A folder opens, and fails only at the first read: refused here like the rest.
    const int error = fstat(fd, &status) != 0 ? errno : S_ISDIR(status.st_mode) ? EISDIR : 0;
    if (error != 0) {
        ::close(fd);
        throw failure("cannot read " + name + ": " + std::strerror(error));
    }
    return fd;
}

// Every file stays open until it is read: a season of rides needs more descriptors than
// the usual soft limit of 1024, and the hard limit is the user's to give.
void allow_open_files(size_t files) {
    constexpr rlim_t room = 64;  // standard streams, tiles, MagickCore's own
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= files + room) return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY
                         ? files + room
                         : std::min<rlim_t>(limit.rlim_max, files + room);
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

std::string no_points_text(size_t documents, long waypoints) {
    const std::string count = waypoints == 0   ? std::string("no waypoints")
                              : waypoints == 1 ? std::string("1 waypoint")
                                               : format("%ld waypoints", waypoints);
    if (documents == 1) return "no track or route points in the document (it holds " + count + ")";
    return format("no track or route points in the %zu documents (they hold %s)", documents,
                  count.c_str());
}

Gpx_input::Gpx_input(const std::vector<std::string>& files, xmlm_shit::Byte_source& standard_input)
    : standard_input_(standard_input), names_(files) {
    allow_open_files(files.size());
    try {
        for (const std::string& name : files) fds_.push_back(open_document(name));
    } catch (...) {
        for (const int fd : fds_) ::close(fd);
        throw;
    }
}

Gpx_input::~Gpx_input() {
    for (const int fd : fds_) ::close(fd);
}

std::vector<int> Gpx_input::fds() const {
    return names_.empty() ? std::vector<int>{standard_input_.fd()} : fds_;
}

gpx_documents Gpx_input::read(bool routes, Console& console, const reading_options& options) {
    gpx_documents documents;
    long waypoints = 0;
    // A file's lines on standard error are told apart by its `name`; standard input's have none.
    const auto read_one = [&](xmlm_shit::Byte_source& source, const std::string& name) {
        const std::string prefix = name.empty() ? "" : "plotr: in " + name + ":\n";
        console.out_flushed(name.empty() ? "parsing gpx file\n"
                                         : "parsing gpx file " + name + "\n");
        // Someone who named the file as an argument would otherwise wait in silence.
        if (prefix.empty() && source.fd() >= 0 && isatty(source.fd())) {
            console.err(
                "plotr: reading the GPX document from standard input "
                "(plotr [OPTIONS] < track.gpx)\n");
        }
        Gzip_source input(source);
        gpx_document document;
        try {
            document = read_document(input, routes, options);
        } catch (Fatal_error& error) {
            struct stat status {};
            if (name.empty() && error.note.empty() && fstat(source.fd(), &status) == 0 &&
                S_ISDIR(status.st_mode)) {
                error.note = "standard input is a folder, not a GPX document";
            }
            // The file goes into the note's line, or stands on a line of its own.
            if (!name.empty() && !error.note.empty()) {
                error.note = "in " + name + ", " + error.note;
            } else if (!name.empty()) {
                console.err(prefix);
            }
            throw;
        } catch (...) {
            if (!prefix.empty()) console.err(prefix);
            throw;
        }
        if (document.skipped.count > 0) console.err(prefix + skipped_message(document.skipped));
        waypoints += document.waypoints;
        documents.hidden_tracks += document.hidden_tracks;
        documents.emptied = documents.emptied || document.emptied;
        std::ranges::move(document.marks.points, std::back_inserter(documents.marks.points));
        std::ranges::move(document.marks.names, std::back_inserter(documents.marks.names));
        std::ranges::move(document.tracks, std::back_inserter(documents.tracks));
        documents.ends.push_back(documents.tracks.size());
    };
    if (names_.empty()) read_one(standard_input_, "");
    for (size_t i = 0; i < fds_.size(); ++i) {
        xmlm_shit::Fd_source source(fds_[i]);
        read_one(source, names_[i]);
    }
    const bool any_point = std::ranges::any_of(documents.tracks, [](const track& t) {
        return std::ranges::any_of(t, [](const track_segment& s) { return !s.empty(); });
    });
    if (!any_point && documents.marks.points.empty()) {
        Fatal_error error = failure(no_points_text(documents.ends.size(), waypoints));
        if (documents.hidden_tracks > 0) {
            error.note = "-privacy hides every track whole";
        } else if (documents.emptied) {
            error.note = "-privacy or -privacy-zone hides every point";
        }
        throw error;
    }
    return documents;
}

}  // namespace plotr
