#pragma once

#include <string>

#include "common/console.h"
#include "render/imaging.h"

namespace plotr {

/// Prepares the canvas for a smaller file: true colour, no profiles or comments.
void compress_output(image_handle& canvas);

/// Prints "writing to <output>" (flushed), compresses when asked, and writes
/// the canvas; the file's extension picks the format. When the write fails it
/// removes the output file if this write created or truncated it (a regular
/// file only, never one it did not touch), then throws Failure as write_image.
void write_output(Console& console, image_handle& canvas, const std::string& output, bool compress);

/// For a process about to die of a signal: removes the output file that a
/// write_output under way has created or truncated, and the temporary files
/// that MagickCore holds open or mapped (its pixel caches on disk).
/// Async-signal-safe.
void abandon_output();

}  // namespace plotr
