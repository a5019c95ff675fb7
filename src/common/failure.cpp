#include "common/failure.h"

#include "common/text.h"

namespace plotr {

Fatal_error failure(std::string_view text) {
    return Fatal_error("Failure(" + quote_escaped(text) + ")");
}

Fatal_error not_found() { return Fatal_error("Not_found"); }

Fatal_error assert_failure(const char* file, int line, int column) {
    // The build maps the source root away, so this is a path like src/gpx/track.cpp.
    return Fatal_error("Assert_failure(" + quote_escaped(file) + ", " + std::to_string(line) +
                       ", " + std::to_string(column) + ")");
}

Fatal_error xml_error(long line, long column, std::string_view fault) {
    return Fatal_error("Xml_error(" + std::to_string(line) + ", " + std::to_string(column) + ", " +
                       quote_escaped(fault) + ")");
}

Fatal_error sys_error(std::string_view text) {
    return Fatal_error("Sys_error(" + quote_escaped(text) + ")");
}

}  // namespace plotr
