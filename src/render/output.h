#pragma once

#include <string>

#include "common/console.h"
#include "render/imaging.h"

namespace plotr {

/// Prepares the canvas for a smaller file: true colour, no profiles or comments.
void compress_output(image_handle& canvas);

/// Prints "writing to <output>" (flushed), compresses when asked, and writes
/// the canvas; the file's extension picks the format.
void write_output(Console& console, image_handle& canvas, const std::string& output, bool compress);

}  // namespace plotr
