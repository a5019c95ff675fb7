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

}  // namespace plotr
