#include "gpx/gzip_source.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <new>
#include <vector>

#include "common/failure.h"

namespace plotr {

namespace {

constexpr size_t input_block = size_t{64} * 1024;

[[noreturn]] void damaged(const char* reason) {
    throw failure(std::string("the gzip data is damaged: ") + reason);
}

}  // namespace

struct Gzip_source::Inflater {
    z_stream stream{};
    std::vector<unsigned char> input = std::vector<unsigned char>(input_block);
    bool in_member = true;  // a member has begun and not yet ended
    bool at_end = false;    // the inner source has ended

    Inflater() {
        // 16 + MAX_WBITS: gzip wrapper only, with its CRC checked.
        if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
    }
    ~Inflater() { inflateEnd(&stream); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
};

Gzip_source::Gzip_source(xmlm_shit::Byte_source& inner) : inner_(inner) {}

Gzip_source::~Gzip_source() = default;

size_t Gzip_source::read_plain(char* buffer, size_t size) {
    if (head_.empty()) return inner_.read(buffer, size);
    const size_t count = std::min(size, head_.size());
    head_.copy(buffer, count);
    head_.erase(0, count);
    return count;
}

size_t Gzip_source::read(char* buffer, size_t size) {
    if (!looked_) {
        // Two bytes decide; a pipe may bring them one at a time.
        char bytes[2];
        while (head_.size() < 2) {
            const size_t got = inner_.read(bytes, 2 - head_.size());
            if (got == 0) break;
            head_.append(bytes, got);
        }
        looked_ = true;
        if (head_ == "\x1f\x8b") inflater_ = std::make_unique<Inflater>();
    }
    if (!inflater_) return read_plain(buffer, size);

    Inflater& z = *inflater_;
    if (!head_.empty()) {
        std::copy(head_.begin(), head_.end(), z.input.begin());
        z.stream.next_in = z.input.data();
        z.stream.avail_in = uInt(head_.size());
        head_.clear();
    }
    size = std::min<size_t>(size, UINT_MAX);
    for (;;) {
        if (z.stream.avail_in == 0 && !z.at_end) {
            const size_t got = inner_.read(reinterpret_cast<char*>(z.input.data()), z.input.size());
            z.at_end = got == 0;
            z.stream.next_in = z.input.data();
            z.stream.avail_in = uInt(got);
        }
        if (z.stream.avail_in == 0 && z.at_end) {
            if (z.in_member) damaged("unexpected end");
            return 0;
        }
        if (!z.in_member) {
            // Another member follows the one that ended.
            if (inflateReset(&z.stream) != Z_OK) damaged("cannot restart");
            z.in_member = true;
        }
        z.stream.next_out = reinterpret_cast<unsigned char*>(buffer);
        z.stream.avail_out = uInt(size);
        const int status = inflate(&z.stream, Z_NO_FLUSH);
        if (status == Z_STREAM_END) {
            z.in_member = false;
        } else if (status == Z_MEM_ERROR) {
            throw std::bad_alloc();
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            damaged(z.stream.msg ? z.stream.msg : "unreadable");
        }
        const size_t produced = size - z.stream.avail_out;
        if (produced > 0) return produced;
    }
}

}  // namespace plotr
