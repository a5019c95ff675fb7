#pragma once

#include <cstdint>
#include <string>

#include "common/console.h"
#include "common/shell.h"

namespace plotr {

/// The seed of the run's random number: (seconds XOR microseconds of the time
/// of day) XOR process id XOR (parent process id << 16).
uint64_t seed_from_clock_and_process(long seconds, long microseconds, long pid, long ppid);

/// The same, read from the system clock and this process.
uint64_t current_seed();

/// Draws numbers 0 <= n < 1073741823 from a seeded generator.
class Temp_dir_names {
public:
    explicit Temp_dir_names(uint64_t seed, std::string prefix = "/tmp/plotr-");
    /// "<prefix><n>" with the next number drawn.
    std::string next();

private:
    uint64_t state_;
    std::string prefix_;
};

/// The run's temporary directory: named at start, created only when the first
/// tile needs it.
class Temp_dir {
public:
    static constexpr int attempts = 8;

    explicit Temp_dir(Temp_dir_names names);

    const std::string& name() const { return name_; }

    /// Creates the directory with mode 0700 under a name nobody holds yet, so
    /// no other user can prepare it; a name in use is drawn again, up to
    /// `attempts` names in all, then Failure. Any other error is a Failure
    /// too, naming the directory and the reason, so that no later command
    /// ever makes the directory, or follows a link planted under its name.
    /// Returns the name used.
    const std::string& create();

private:
    Temp_dir_names names_;
    std::string name_;
};

/// The owner of the run's temporary directory and of its shell: the one place
/// that removes the directory, whichever way the run ends. A run that
/// finishes removes it with its line and "rm -r"; a failed command or a
/// termination request does the same through the shell, unchecked; any other
/// failure removes it silently when the owner goes.
class Run_dir {
public:
    Run_dir(Temp_dir_names names, Console& console, System system);
    ~Run_dir();
    Run_dir(const Run_dir&) = delete;
    Run_dir& operator=(const Run_dir&) = delete;

    const Shell& shell() const { return shell_; }
    const std::string& name() const { return dir_.name(); }

    /// Makes the directory on the first call (guarded from before it exists,
    /// so that a termination request ends the run through its cleanup);
    /// gives its name.
    std::string path();

    /// The run's end: removes the directory it made, with its line. Without
    /// any tile it made none: the line alone says so.
    void finish(bool any_tile);

private:
    void announce_removal() const;

    Temp_dir dir_;
    Console& console_;
    Shell shell_;
    bool made_ = false;
    bool gone_ = false;
};

}  // namespace plotr
