#pragma once

// The files a run reads: named one by one, found in folders, or listed in a file.

#include <cstddef>
#include <string>
#include <vector>

#include "gpx/xmlm_shit.h"

namespace plotr {

/// A file that names the documents, one a line; read in place of the `at`-th -gpx name.
struct gpx_list {
    size_t at;         ///< how many -gpx names came before it
    std::string file;  ///< "-": standard input
    bool operator==(const gpx_list&) const = default;
};

/// Whether a file name ends in .gpx or .gpx.gz, in any letter case.
bool is_gpx_name(const std::string& name);

/// The names of a list's text: one a line, blank lines and lines that begin with '#'
/// skipped, a line's CR before its LF dropped, everything else as it stands. Throws
/// Failure("cannot read <list>: line <n> holds a NUL byte").
std::vector<std::string> list_names(const std::string& text, const std::string& list);

/// Every GPX file under the folder (symbolic links followed, each folder once), hidden
/// files and folders skipped, only regular files, in the byte order of their paths.
/// Throws Failure("cannot read <folder>: <reason>") for a folder that cannot be read.
std::vector<std::string> folder_files(const std::string& folder);

/// The files to read, in order: each of `files` as it stands, or what folder_files finds
/// when it is a folder; the names in each list in its place, folders likewise. A list
/// "-" is read from `standard_input`. Throws Failure("cannot read <list>: <reason>"),
/// Failure("no .gpx or .gpx.gz file in <folder>") and Failure("no file named in <list>").
std::vector<std::string> gpx_names(const std::vector<std::string>& files,
                                   const std::vector<gpx_list>& lists,
                                   xmlm_shit::Byte_source& standard_input);

}  // namespace plotr
