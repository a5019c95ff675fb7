#pragma once

// The shell command lines of one tile download, built by the real code from a URL template
// and a directory name, each with the arguments its program must receive; and a model of
// how /bin/sh splits the kind of line the quoting produces. The shell fuzzer checks lines
// against the model; a unit test checks corpus lines and the model against a real shell.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/console.h"
#include "common/shell.h"
#include "tiles/curl_commands.h"
#include "tiles/tile_source.h"

namespace plotr::shell_words {

/// One command line and the words the shell must hand over: program name first.
struct Shell_call {
    std::string line;
    std::vector<std::string> words;
};

/// Reads `input` as a URL template, a NUL, a directory name (the rest up to a second NUL;
/// both may be empty). Returns the mkdir, curl and rm lines a run makes for tile 4399/2685
/// at zoom 13 with them, through Tile_source and Shell, or fewer if the code made fewer.
inline std::vector<Shell_call> tile_calls(std::string_view input) {
    const size_t end = input.find('\0');
    const std::string url_template(input.substr(0, end));
    std::string temp_dir;
    if (end != std::string_view::npos) {
        const std::string_view rest = input.substr(end + 1);
        temp_dir = rest.substr(0, rest.find('\0'));
    }

    std::vector<std::string> lines;
    Recording_console console;
    const Shell shell(
        console,
        [&](const std::string& line) {
            lines.push_back(line);
            return 0;
        },
        Cleanup{[] {}});
    const int zoom = 13, x = 4399, y = 2685;
    Tile_source source(
        {[&] { return temp_dir; }, zoom, url_template, (1 << zoom) - 1, shell, console},
        {x, x, y, y});
    source.fetch();
    lines.push_back(removal_command(temp_dir));

    const std::string dir = temp_dir + "/13/4399";
    // curl takes the URL as a URL: no globbing, and never as an option.
    const std::string url = tile_url(url_template, zoom, x, y);
    std::vector<std::string> curl = {"curl", "-f", "-s"};
    if (url.find_first_of("[]{}") != std::string::npos) curl.push_back("-g");
    if (url.starts_with("-")) curl.push_back("--url");
    curl.insert(curl.end(), {url, "-o", dir + "/2685.png"});
    const std::vector<std::vector<std::string>> words = {
        {"mkdir", "-p", dir},
        curl,
        {"rm", "-r", temp_dir},
    };
    std::vector<Shell_call> calls;
    for (size_t i = 0; i < lines.size() && i < words.size(); ++i)
        calls.push_back({lines[i], words[i]});
    return calls;
}

/// Characters that a POSIX shell takes literally anywhere in an argument word.
inline bool is_literal(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::string_view("_@%+=:,./-").find(c) != std::string_view::npos;
}

/// The words /bin/sh makes of `line`, for a line of literal characters, blanks, '...'
/// quotes and backslash escapes. nullopt for anything else (another metacharacter, a byte
/// above 0x7F or a newline outside quotes, an open quote): the model cannot vouch for it.
inline std::optional<std::vector<std::string>> split_words(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            if (in_word) words.push_back(std::move(word));
            word.clear();
            in_word = false;
            continue;
        }
        in_word = true;
        if (c == '\'') {
            const size_t close = line.find('\'', i + 1);
            if (close == std::string_view::npos) return std::nullopt;
            word += line.substr(i + 1, close - i - 1);
            i = close;
        } else if (c == '\\') {
            // A backslash before a newline joins lines instead of escaping.
            if (i + 1 == line.size() || line[i + 1] == '\n') return std::nullopt;
            word += line[++i];
        } else if (is_literal(c)) {
            word += c;
        } else {
            return std::nullopt;
        }
    }
    if (in_word) words.push_back(std::move(word));
    return words;
}

}  // namespace plotr::shell_words
