// Arbitrary bytes as a GPX document. Every input must end in a track list or a Fatal_error;
// any other exception, a crash or a sanitizer report is a finding. The same bytes cut into
// small reads, or preceded by an empty DOCTYPE, must give the same points.

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "common/failure.h"
#include "common/text.h"
#include "gpx/track.h"

namespace {

using plotr::Fatal_error;
using plotr::track_list;
using plotr::xmlm_shit::String_source;

[[noreturn]] void finding(std::string_view what, std::string_view detail) {
    std::fprintf(stderr, "gpx fuzzer: %.*s\n%s\n", int(what.size()), what.data(),
                 plotr::quote_escaped(detail).c_str());
    std::abort();
}

size_t count_points(const track_list& tracks) {
    size_t points = 0;
    for (const auto& track : tracks)
        for (const auto& segment : track) points += segment.size();
    return points;
}

// The points bit for bit, so that NaN payloads and negative zeros count too.
std::string describe(const track_list& tracks) {
    std::string out;
    for (const auto& track : tracks) {
        out += '[';
        for (const auto& segment : track) {
            out += '[';
            for (const auto& point : segment)
                out += plotr::format("(%016llx %016llx)",
                                     (unsigned long long)std::bit_cast<uint64_t>(point.lat),
                                     (unsigned long long)std::bit_cast<uint64_t>(point.lon));
            out += ']';
        }
        out += ']';
    }
    return out;
}

template <class Bound>
void check_bound(const track_list& tracks, Bound bound, bool lat, bool lower) {
    double value;
    try {
        value = bound(tracks);
    } catch (const Fatal_error&) {
        return;
    }
    // A bound is one of the points' own values, and no non-NaN value lies beyond it.
    bool seen = false;
    for (const auto& track : tracks)
        for (const auto& segment : track)
            for (const auto& point : segment) {
                const double v = lat ? point.lat : point.lon;
                if (v == value) seen = true;
                if (lower ? v < value : v > value) finding("bound passed by a point", "");
            }
    if (!seen || std::isnan(value)) finding("bound that is no point's value", "");
}

struct Outcome {
    std::string text;  // the points, or "!" and the failure
    std::string key;   // the same, but an Xml_error without its position, which may move
    size_t points = 0;
};

Outcome read(std::string document, size_t chunk) {
    String_source source(std::move(document), chunk);
    try {
        const track_list tracks = plotr::read_gpx(source);
        check_bound(tracks, plotr::min_lat, true, true);
        check_bound(tracks, plotr::max_lat, true, false);
        check_bound(tracks, plotr::min_lon, false, true);
        check_bound(tracks, plotr::max_lon, false, false);
        std::string text = describe(tracks);
        return {text, text, count_points(tracks)};
    } catch (const Fatal_error& error) {
        const std::string text = "!" + std::string(error.what());
        const size_t quote = text.find('"');
        if (text.starts_with("!Xml_error(") && quote != std::string::npos)
            return {text, "!Xml_error " + text.substr(quote)};
        return {text, text};
    }
}

// A coordinate as the C library reads it, which the faster route for decimals must match.
std::optional<double> strtod_reading(std::string_view text) {
    std::string number;
    for (const char c : text)
        if (c != '_') number += c;
    if (number.empty() || number.find('(') != std::string::npos) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size()) return std::nullopt;
    return value;
}

void check_coordinate(std::string_view text) {
    std::optional<double> value;
    try {
        value = plotr::parse_coordinate(text);
    } catch (const Fatal_error&) {
    }
    const std::optional<double> expected = strtod_reading(text);
    if (value.has_value() != expected.has_value() ||
        (value && std::bit_cast<uint64_t>(*value) != std::bit_cast<uint64_t>(*expected)))
        finding("coordinate read unlike strtod", text);
}

// Where "<!DOCTYPE gpx>" can go: after a UTF-8 BOM and an XML declaration. UTF-16 would
// need it in UTF-16, and a document with its own DOCTYPE cannot take a second; nullopt there.
std::optional<size_t> doctype_place(std::string_view data) {
    if (data.find('\0') != std::string_view::npos || data.starts_with("\xFE\xFF") ||
        data.starts_with("\xFF\xFE") || data.find("<!DOCTYPE") != std::string_view::npos)
        return std::nullopt;
    const size_t at = data.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    if (data.substr(at).starts_with("<?xml")) {
        const size_t end = data.find("?>", at);
        if (end == std::string_view::npos) return std::nullopt;
        return end + 2;
    }
    return at;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string data(reinterpret_cast<const char*>(bytes), size);
    // Short inputs are plausible coordinate texts too.
    if (size <= 64) check_coordinate(data);

    const Outcome whole = read(data, SIZE_MAX);

    // Each point needs at least "<trkpt lat='0' lon='0'/>": more points than that means
    // something was read twice.
    if (whole.points * 24 > size) finding("more points than the input holds", whole.text);

    // Reads that end anywhere, down to single bytes, must not change the result. After a
    // UTF-8 BOM expat counts the BOM as one column or as three, depending on whether a
    // declared 8-bit encoding was seen before it first counted: there only the fault counts.
    const Outcome cut = read(data, 1 + size % 61);
    const bool exact = !data.starts_with("\xEF\xBB\xBF");
    if (exact ? cut.text != whole.text : cut.key != whole.key)
        finding("result depends on read size", whole.text + "\n" + cut.text);

    // With a DOCTYPE every start tag is read again from its raw bytes; expat's own reading
    // and that one must agree.
    if (const std::optional<size_t> at = doctype_place(data)) {
        std::string prefixed = data;
        prefixed.insert(*at, "<!DOCTYPE gpx>");
        const Outcome with_doctype = read(prefixed, SIZE_MAX);
        // Where the input is malformed expat may name the fault differently after a DOCTYPE
        // (a cut-off input is a "partial character" there, say); malformed it must stay.
        const bool both_malformed =
            whole.key.starts_with("!Xml_error") && with_doctype.key.starts_with("!Xml_error");
        if (with_doctype.key != whole.key && !both_malformed)
            finding("DOCTYPE changes the result", whole.text + "\n" + with_doctype.text);
    }
    return 0;
}
