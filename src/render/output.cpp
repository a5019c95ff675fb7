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
    if (compress) {
        compress_output(canvas);
    }
    write_image(canvas, output);
}

}  // namespace plotr
