// The least work any expat-based GPX reader must do, shared by the floors:
// standard input in 64 KiB blocks through a namespace-aware parser (as
// plotr's is), keeping lat/lon of every trkpt and nothing else: no nesting
// rules, no error positions.
#pragma once

#include <expat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace bench {

struct Point {
    double lat;
    double lon;
};

namespace detail {

constexpr char namespace_separator = '\n';

/// The part of an expanded name after the namespace URI.
inline const char* local_name(const char* name) {
    const char* sep = std::strrchr(name, namespace_separator);
    return sep ? sep + 1 : name;
}

inline void XMLCALL on_start(void* data, const XML_Char* name, const XML_Char** attrs) {
    if (std::strcmp(local_name(name), "trkpt") != 0) return;
    const char* lat = nullptr;
    const char* lon = nullptr;
    for (int i = 0; attrs[i]; i += 2) {
        const char* attr = local_name(attrs[i]);
        if (!lat && std::strcmp(attr, "lat") == 0) lat = attrs[i + 1];
        if (!lon && std::strcmp(attr, "lon") == 0) lon = attrs[i + 1];
    }
    if (!lat || !lon) return;
    static_cast<std::vector<Point>*>(data)->push_back(
        {std::strtod(lat, nullptr), std::strtod(lon, nullptr)});
}

struct Parser_deleter {
    void operator()(XML_Parser p) const { XML_ParserFree(p); }
};

}  // namespace detail

/// Reads the document on `fd` into `points`; returns an error text, empty on success.
inline std::string read_points(int fd, std::vector<Point>& points) {
    constexpr int block_size = 64 * 1024;
    const std::unique_ptr<std::remove_pointer_t<XML_Parser>, detail::Parser_deleter> parser(
        XML_ParserCreateNS(nullptr, detail::namespace_separator));
    if (!parser) return "out of memory";
    XML_SetUserData(parser.get(), &points);
    XML_SetStartElementHandler(parser.get(), detail::on_start);
    for (;;) {
        void* buffer = XML_GetBuffer(parser.get(), block_size);
        if (!buffer) return "out of memory";
        const ssize_t n = read(fd, buffer, block_size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::string("read: ") + std::strerror(errno);
        if (XML_ParseBuffer(parser.get(), static_cast<int>(n), n == 0) != XML_STATUS_OK) {
            return std::string(XML_ErrorString(XML_GetErrorCode(parser.get()))) + " at line " +
                   std::to_string(XML_GetCurrentLineNumber(parser.get()));
        }
        if (n == 0) return "";
    }
}

}  // namespace bench
