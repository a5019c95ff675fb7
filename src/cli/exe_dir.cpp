#include "cli/exe_dir.h"

#include <unistd.h>

#include <string>

namespace plotr {

std::string directory_part(std::string_view path) {
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

namespace {

std::string search_path(const std::string& name, const char* path_variable) {
    if (path_variable == nullptr) return name;
    std::string_view rest = path_variable;
    while (true) {
        const auto colon = rest.find(':');
        std::string dir(rest.substr(0, colon));
        // An empty entry means the current directory.
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string_view::npos) return name;
        rest.remove_prefix(colon + 1);
    }
}

}  // namespace

std::string executable_path(const std::string& argument0, const char* path_variable) {
    std::string target(4096, '\0');
    while (true) {
        const ssize_t n = readlink("/proc/self/exe", target.data(), target.size());
        if (n < 0) break;
        if (static_cast<size_t>(n) < target.size()) {
            target.resize(static_cast<size_t>(n));
            return target;
        }
        target.resize(target.size() * 2);
    }
    if (argument0.find('/') != std::string::npos) return argument0;
    return search_path(argument0, path_variable);
}

}  // namespace plotr
