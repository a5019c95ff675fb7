#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "common/console.h"

namespace plotr {

/// Runs one command line with /bin/sh -c and gives its exit code: the exit
/// status, or 255 when the command was ended by a signal.
using System = std::function<int(const std::string& command_line)>;

/// Asked about every tenth of a second while a command runs: false stops it.
using Watch = std::function<bool()>;

/// No file a command writes may grow past this: a tile server that sends
/// without end gets its download killed (SIGXFSZ) instead of filling the disk.
inline constexpr long command_file_size_limit = 64L << 20;

/// The `system` service, with system(3)'s semantics: /bin/sh -c, SIGINT and
/// SIGQUIT ignored here and SIGCHLD blocked while the command runs. A
/// termination request that arrives meanwhile is sent on to the command (see
/// install_interrupt_handlers); when a signal ends the shell, the processes it
/// leaves behind are killed. The command gets no descriptor but 0, 1 and 2.
/// Within Shell::run_watched its watch is asked; a command it stops is killed
/// and gives 255. Gives 127 when the shell cannot be started;
/// throws Sys_error("<command line>: <reason>") when it cannot be waited for.
int system_exit_code(const std::string& command_line);

/// The value as one shell word: unchanged when it holds only A-Z a-z 0-9 and
/// _@%+=:,./- (so ordinary paths and URLs read as before), otherwise in single
/// quotes with each ' written as '\''.
std::string shell_quote(std::string_view value);

/// Catches termination requests: SIGTERM and SIGHUP, and SIGINT, which a
/// running command gets from the terminal instead. While the temporary
/// directory is guarded (Shell::guard_temp_dir) a request is remembered, sent
/// on to the running command, and acted on at the Shell's next safe point;
/// otherwise `last_words` runs (it must be async-signal-safe) and the signal's
/// default action ends the process. Signals ignored at start stay ignored.
/// SIGXFSZ is ignored, so that a write past the file size limit fails
/// (EFBIG), and SIGPIPE, so that a write to a closed pipe fails (EPIPE);
/// commands still get their default actions. Call once, at start.
void install_interrupt_handlers(void (*last_words)());

/// "rm -r <dir>", the directory quoted for the shell.
std::string removal_command(const std::string& dir);

/// "removing temporary directory <dir>", the line before the removal.
std::string removal_line(const std::string& dir);

/// What a run does when it stops at a failed command or a termination request.
struct Cleanup {
    std::function<void()> run;
};

/// Runs the run's shell commands; a failed command ends the run through the
/// run's cleanup, which the owner of the temporary directory gives.
class Shell {
public:
    Shell(Console& console, System system, Cleanup cleanup);
    /// With the cleanup of a directory named when needed: its removal line
    /// (flushed), then "rm -r" unchecked.
    Shell(Console& console, System system, std::function<std::string()> temp_dir);

    /// Call before the temporary directory is created: from now on until
    /// end_guard, a termination request ends the run through
    /// exit_with_cleanup(1) instead of killing the process.
    void guard_temp_dir() const;

    /// From now on a request waits for the cleanup instead of failing it.
    void hold_requests() const;

    /// Ends the guard: a request that came meanwhile ends the process now,
    /// by its default action.
    void end_guard() const;

    /// A safe point: calls exit_with_cleanup(1) if a termination request came
    /// while the directory was guarded; otherwise returns.
    void stop_if_interrupted() const;

    /// A safe point, then runs the command line; returns when it exits with 0.
    /// Otherwise prints "<quoted line> failed with exit code N" on standard
    /// error and calls exit_with_cleanup(1).
    void run_command(const std::string& command_line) const;

    /// A safe point, then runs the command line and gives its exit code; a
    /// code other than 0 is left to the caller.
    int run_for_code(const std::string& command_line) const;

    /// run_for_code, with `watch` asked while the command runs (see Watch);
    /// a command that it stops is killed and gives 255. A System other than
    /// system_exit_code may never ask it.
    int run_watched(const std::string& command_line, const Watch& watch) const;

    /// Waits `seconds` without a command; a termination request ends the run
    /// at once, as at a safe point.
    void pause(double seconds) const;

    /// Ends the run as a failed command does: prints "<quoted line> failed with
    /// exit code N" on standard error, then `detail` (whole lines, may be
    /// empty), and calls exit_with_cleanup(1).
    [[noreturn]] void fail(const std::string& command_line, int code,
                           const std::string& detail = "") const;

    /// Runs the cleanup, then ends the run: throws Early_exit{status}.
    /// Requests that come meanwhile no longer reach its commands.
    [[noreturn]] void exit_with_cleanup(int status) const;

    /// Runs the command line as it is: no safe point, no check.
    int run_plainly(const std::string& command_line) const { return system_(command_line); }

private:
    Console& console_;
    System system_;
    Cleanup cleanup_;
};

}  // namespace plotr
