#pragma once

// The documents of one run: standard input, or the files named on the command line.

#include <cstddef>
#include <string>
#include <vector>

#include "common/console.h"
#include "gpx/track.h"
#include "gpx/xmlm_shit.h"

namespace plotr {

/// The points of every document of a run, in the order read.
struct gpx_documents {
    track_list tracks;
    std::vector<size_t> ends;  ///< for each document, tracks.size() once it was read
    waypoint_list marks;       ///< with reading_options::waypoints only
    long hidden_tracks = 0;    ///< tracks that reading_options::hide hid whole
    bool emptied = false;      ///< reading_options::hide left a track without points
};

/// Where a run's documents come from. Files are opened at once, so that one that cannot be
/// read ends the run before anything is printed or downloaded.
class Gpx_input {
public:
    /// Opens every file of `files` for reading; with none, standard_input is the one
    /// document (it must outlive this). Throws Failure("cannot read <file>: <reason>") for
    /// the first file that cannot be opened or is a folder. Raises the soft limit of open
    /// files toward the hard one when the files need it.
    Gpx_input(const std::vector<std::string>& files, xmlm_shit::Byte_source& standard_input);
    ~Gpx_input();
    Gpx_input(const Gpx_input&) = delete;
    Gpx_input& operator=(const Gpx_input&) = delete;

    /// The file descriptors the documents are read from (-1 for a source without one).
    std::vector<int> fds() const;

    /// Reads each document in turn (gzip inflated), printing "parsing gpx file" (for a file
    /// "parsing gpx file <file>") before each and its skipped-points line after; a file's lines on standard error, and its
    /// failure, are preceded by "plotr: in <file>:", or the failure's note says "in <file>, "
    /// first. A folder on standard input gets a note too. `options` go to read_document.
    /// Throws what read_document throws, and Failure("no track or route points in the
    /// document ...") when no document has one (nor a waypoint kept), with a note when
    /// `options.hide` removed them.
    gpx_documents read(bool routes, Console& console, const reading_options& options = {});

private:
    xmlm_shit::Byte_source& standard_input_;
    std::vector<std::string> names_;
    std::vector<int> fds_;
};

/// The failure of documents without points: "no track or route points in the document (it
/// holds 3 waypoints)", or for several documents "... in the 2 documents (they hold ...)".
std::string no_points_text(size_t documents, long waypoints);

}  // namespace plotr
