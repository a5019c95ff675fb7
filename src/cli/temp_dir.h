#pragma once

#include <cstdint>
#include <string>

namespace plotr {

/// The seed of the run's random number: (seconds XOR microseconds of the time
/// of day) XOR process id XOR (parent process id << 16).
uint64_t seed_from_clock_and_process(long seconds, long microseconds, long pid, long ppid);

/// The same, read from the system clock and this process.
uint64_t current_seed();

/// Draws numbers 0 <= n < 1073741823 from a seeded generator.
class Temp_dir_names {
public:
    explicit Temp_dir_names(uint64_t seed);
    /// "/tmp/plotr-<n>" with the next number drawn.
    std::string next();

private:
    uint64_t state_;
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

}  // namespace plotr
