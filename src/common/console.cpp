#include "common/console.h"

#include <cstdio>

namespace plotr {

Std_console::Std_console() {
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

void Std_console::out(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// A closed standard output (a pipe into head) drops what cannot be written,
// and the run goes on: the messages are progress, the picture is the result.
void Std_console::flush() {
    if (std::fflush(stdout) != 0) {
        std::clearerr(stdout);
    }
}

void Std_console::err(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void Recording_console::out(std::string_view text) {
    stdout_text += text;
    pending_ += text;
}

void Recording_console::flush() {
    log += pending_;
    pending_.clear();
}

void Recording_console::err(std::string_view text) {
    stderr_text += text;
    log += text;
}

}  // namespace plotr
