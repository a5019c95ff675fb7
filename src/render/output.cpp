#include "render/output.h"

namespace plotr {

void compress_output(image_handle& canvas) {
    set_image_type(canvas, TrueColorType);
    set_image_colors(canvas, 0);
    set_image_quality(canvas, 0);
    strip(canvas);
}

void write_output(Console& console, image_handle& canvas, const std::string& output,
                  bool compress) {
    console.out_flushed("writing to " + output + "\n");
    if (!compress) {
        write_image(canvas, output);
        return;
    }
    compress_output(canvas);
    // Quality and colours 0 leave the encoder at its defaults, which would
    // write the same 16-bit file; ask for 8 bits a sample and zlib's
    // strongest level with adaptive filtering instead.
    write_image(canvas, output, {.depth = 8, .quality = 95});
}

}  // namespace plotr
