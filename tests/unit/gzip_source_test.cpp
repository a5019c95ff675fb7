#include "gpx/gzip_source.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "common/failure.h"

namespace plotr {
namespace {

using xmlm_shit::String_source;

std::string gzip(const std::string& text) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&stream, text.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = uInt(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// All of the source, read `size` bytes at a time; the failure text if it fails.
std::string drain(const std::string& bytes, size_t chunk, size_t size) {
    String_source inner(bytes, chunk);
    Gzip_source source(inner);
    std::string out;
    std::string buffer(size, '\0');
    try {
        while (const size_t got = source.read(buffer.data(), size)) out.append(buffer, 0, got);
    } catch (const Fatal_error& error) {
        return error.what();
    }
    return out;
}

TEST(GzipSource, InflatesGzipAndPassesAnythingElse) {
    std::string long_text;
    for (int i = 0; i < 20000; ++i) long_text += "<trkpt lat='" + std::to_string(i) + "'/>";
    const std::string packed = gzip(long_text);
    const struct {
        std::string bytes, expected;
    } cases[] = {
        {packed, long_text},
        {gzip("<gpx>") + gzip("</gpx>"), "<gpx></gpx>"},  // members, as cat a.gz b.gz gives
        {"<gpx/>", "<gpx/>"},
        {"\x1f", "\x1f"},
        {"", ""},
        {packed.substr(0, packed.size() - 4),
         R"(Failure("the gzip data is damaged: unexpected end"))"},
        {packed.substr(0, 2), R"(Failure("the gzip data is damaged: unexpected end"))"},
        {"\x1f\x8b\x07\x01garbage!",
         R"(Failure("the gzip data is damaged: unknown compression method"))"},
        {packed.substr(0, 30) + "x" + packed.substr(31),
         R"(Failure("the gzip data is damaged: invalid code -- missing end-of-block"))"},
        {packed.substr(0, packed.size() - 8) + "\xff" + packed.substr(packed.size() - 7),
         R"(Failure("the gzip data is damaged: incorrect data check"))"},
    };
    for (const auto& c : cases) {
        for (const auto& [chunk, size] : {std::pair{SIZE_MAX, size_t{65536}}, {1, 1}, {7, 3}})
            EXPECT_EQ(drain(c.bytes, chunk, size), c.expected) << chunk << " " << size;
    }
}

}  // namespace
}  // namespace plotr
