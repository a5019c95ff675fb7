// The floor for reading GPX: the least work any expat-based reader must do.
// Streams standard input in 64 KiB blocks through a namespace-aware parser
// (as plotr's is) and keeps lat/lon of every trkpt, nothing else. Prints the
// point count and the box so the work cannot be optimised away.

#include <expat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr char kNamespaceSeparator = '\n';
constexpr int kBlockSize = 64 * 1024;

struct Point {
    double lat;
    double lon;
};

struct Parser_deleter {
    void operator()(XML_Parser p) const { XML_ParserFree(p); }
};
using Parser = std::unique_ptr<std::remove_pointer_t<XML_Parser>, Parser_deleter>;

/// The part of an expanded name after the namespace URI.
const char* local_name(const char* name) {
    const char* sep = std::strrchr(name, kNamespaceSeparator);
    return sep ? sep + 1 : name;
}

void XMLCALL on_start(void* data, const XML_Char* name, const XML_Char** attrs) {
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

}  // namespace

int main() {
    Parser parser(XML_ParserCreateNS(nullptr, kNamespaceSeparator));
    if (!parser) {
        std::fprintf(stderr, "expat_floor: out of memory\n");
        return 2;
    }
    std::vector<Point> points;
    XML_SetUserData(parser.get(), &points);
    XML_SetStartElementHandler(parser.get(), on_start);

    for (;;) {
        void* buffer = XML_GetBuffer(parser.get(), kBlockSize);
        if (!buffer) {
            std::fprintf(stderr, "expat_floor: out of memory\n");
            return 2;
        }
        ssize_t n = read(STDIN_FILENO, buffer, kBlockSize);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            std::perror("expat_floor: read");
            return 2;
        }
        if (XML_ParseBuffer(parser.get(), static_cast<int>(n), n == 0) != XML_STATUS_OK) {
            std::fprintf(stderr, "expat_floor: %s at line %lu\n",
                         XML_ErrorString(XML_GetErrorCode(parser.get())),
                         XML_GetCurrentLineNumber(parser.get()));
            return 2;
        }
        if (n == 0) break;
    }

    double min_lat = 666, max_lat = -666, min_lon = 666, max_lon = -666;
    for (const Point& p : points) {
        min_lat = std::min(min_lat, p.lat);
        max_lat = std::max(max_lat, p.lat);
        min_lon = std::min(min_lon, p.lon);
        max_lon = std::max(max_lon, p.lon);
    }
    std::printf("%zu points, lat %f..%f, lon %f..%f\n", points.size(), min_lat, max_lat, min_lon,
                max_lon);
    return 0;
}
