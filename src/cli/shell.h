#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "common/console.h"

namespace plotr {

/// Runs one command line with /bin/sh -c and gives its exit code: the exit
/// status, or 255 when the command was ended by a signal.
using System = std::function<int(const std::string& command_line)>;

/// The `system` service. Throws Sys_error("<command line>: <reason>") when no
/// process can be started.
int system_exit_code(const std::string& command_line);

/// The value as one shell word: unchanged when it holds only A-Z a-z 0-9 and
/// _@%+=:,./- (so ordinary paths and URLs read as before), otherwise in single
/// quotes with each ' written as '\''.
std::string shell_quote(std::string_view value);

/// Runs the run's shell commands; a failed command ends the run after removing
/// the temporary directory. The directory's name is asked for when needed, as
/// it is only settled when the first tile is downloaded.
class Shell {
public:
    Shell(Console& console, System system, std::function<std::string()> temp_dir);

    /// Runs the command line; returns when it exits with 0. Otherwise prints
    /// "<quoted line> failed with exit code N" on standard error and calls
    /// exit_with_cleanup(1).
    void run_command(const std::string& command_line) const;

    /// Prints "removing temporary directory <temp_dir>" (flushed) and runs
    /// "rm -r <temp_dir>" with run_command.
    void remove_temp_dir() const;

    /// Prints the removal line (flushed), runs "rm -r <temp_dir>" without
    /// checking it, then ends the run: throws Early_exit{status}.
    [[noreturn]] void exit_with_cleanup(int status) const;

private:
    /// Prints the removal line; gives the removal command.
    std::string announce_removal() const;

    Console& console_;
    System system_;
    std::function<std::string()> temp_dir_;
};

}  // namespace plotr
