#pragma once

// Compressed exports (ride.gpx.gz) read as they stream, without a temporary file.

#include <memory>
#include <string>

#include "gpx/xmlm_shit.h"

namespace plotr {

/// Serves the bytes of `inner`, inflated when they begin with the gzip signature
/// (0x1f 0x8b), otherwise unchanged; concatenated gzip members read as one stream.
/// Memory stays one input block. `inner` must outlive it. read() throws
/// Failure("the gzip data is damaged: <reason>") for damaged or truncated data.
class Gzip_source final : public xmlm_shit::Byte_source {
public:
    explicit Gzip_source(xmlm_shit::Byte_source& inner);
    ~Gzip_source() override;
    Gzip_source(const Gzip_source&) = delete;
    Gzip_source& operator=(const Gzip_source&) = delete;

    size_t read(char* buffer, size_t size) override;
    int fd() const override { return inner_.fd(); }

private:
    struct Inflater;
    size_t read_plain(char* buffer, size_t size);

    xmlm_shit::Byte_source& inner_;
    std::string head_;  // bytes read to look for the signature, not yet served
    bool looked_ = false;
    std::unique_ptr<Inflater> inflater_;
};

}  // namespace plotr
