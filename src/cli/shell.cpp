#include "cli/shell.h"

#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/command_line.h"
#include "common/failure.h"
#include "common/text.h"

namespace plotr {

int system_exit_code(const std::string& command_line) {
    const int status = std::system(command_line.c_str());
    if (status == -1) {
        throw sys_error(command_line + ": " + std::strerror(errno));
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return 255;
}

namespace {

bool is_plain_shell_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::strchr("_@%+=:,./-", c) != nullptr;
}

}  // namespace

std::string shell_quote(std::string_view value) {
    bool plain = !value.empty();
    for (const char c : value) {
        plain = plain && is_plain_shell_char(c);
    }
    if (plain) {
        return std::string(value);
    }
    std::string quoted = "'";
    for (const char c : value) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

Shell::Shell(Console& console, System system, std::function<std::string()> temp_dir)
    : console_(console), system_(std::move(system)), temp_dir_(std::move(temp_dir)) {}

void Shell::run_command(const std::string& command_line) const {
    const int code = system_(command_line);
    if (code == 0) {
        return;
    }
    console_.err(quote_escaped(command_line) + format(" failed with exit code %d\n", code));
    exit_with_cleanup(1);
}

std::string Shell::announce_removal() const {
    const std::string dir = temp_dir_();
    console_.out_flushed("removing temporary directory " + dir + "\n");
    return "rm -r " + shell_quote(dir);
}

void Shell::remove_temp_dir() const { run_command(announce_removal()); }

void Shell::exit_with_cleanup(int status) const {
    // Unchecked: a directory that is already gone must not start a second round of messages.
    system_(announce_removal());
    console_.flush();
    throw Early_exit{status};
}

}  // namespace plotr
