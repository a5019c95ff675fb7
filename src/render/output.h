#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/console.h"
#include "render/imaging.h"

namespace plotr {

/// What a picture with a credit line keeps of it as text beside its pixels.
struct picture_text {
    std::string copyright;  ///< the credit line
    std::string source;     ///< the provider's name, or the tile template's host
    std::string comment;    ///< the zoom and the box
};

/// The picture's text for a credit line (empty when `text` has none, or only blanks): the
/// keys Copyright (the credit on one line), Software ("plotr <version>"), Source and
/// Comment, each with its value, the empty ones left out.
std::vector<std::pair<std::string, std::string>> credit_entries(const picture_text& text);

/// The PNG file with a text chunk for each entry after its header: tEXt for ASCII,
/// iTXt (UTF-8) for anything else.
std::string with_png_text(const std::string& png,
                          const std::vector<std::pair<std::string, std::string>>& entries);

/// The host of a tile URL template, without user name, password, port, path or query,
/// and without a leading "{s}."; empty when it names none (file:///...).
std::string template_host(const std::string& url);

/// Prepares the canvas for a smaller file: true colour, no profiles or comments.
void compress_output(image_handle& canvas);

/// Ends the run before anything is read when the picture could not be written
/// to `output`: an empty name, a folder, a folder missing or not writable, an
/// existing file the user could not open for writing, a symbolic link on the
/// way that another user planted in a sticky folder anyone may write to, a
/// format the imaging library's policy forbids. Throws Failure("cannot write
/// the picture to <output>: <reason>").
void check_output(const std::string& output);

/// Encodes the image in the format output_format picks for `path` and puts it
/// in place as write_output does; throws Failure("write_image failed"), or for
/// a path over max_path_length "write_image failed: path longer than 4095 bytes".
/// With `text`, the file keeps it (see credit_entries): in a PNG as text chunks, in other
/// formats as MagickCore writes the comment and TIFF's copyright and software tags.
void write_image(image_handle& image, const std::string& path, encoder_settings settings = {},
                 const picture_text& text = {});

/// Prints "writing to <output>" (flushed), compresses when asked, encodes the
/// canvas in the format output_format picks, and puts it in place: whole, by a
/// new file renamed over the name (over a symbolic link's final target), so
/// that a failed write leaves the file that was there as it was. A device, a
/// pipe or an open file of /proc/self/fd is written directly, and so is an
/// existing file the user may write but not replace (its folder is not
/// theirs to write). Links are followed as check_output allows. Throws
/// Failure("write_image failed") on failure. The file keeps `text` as write_image says,
/// compressed or not.
void write_output(Console& console, image_handle& canvas, const std::string& output, bool compress,
                  const picture_text& text = {});

/// For a process about to die of a signal: removes the temporary file of a
/// write_output under way, and MagickCore's own temporary files that it holds
/// open or mapped (its pixel caches on disk). Async-signal-safe.
void abandon_output();

}  // namespace plotr
