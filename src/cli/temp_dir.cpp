#include "cli/temp_dir.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/failure.h"

namespace plotr {

uint64_t seed_from_clock_and_process(long seconds, long microseconds, long pid, long ppid) {
    return static_cast<uint64_t>((seconds ^ microseconds) ^ pid ^ (ppid << 16));
}

uint64_t current_seed() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return seed_from_clock_and_process(now.tv_sec, now.tv_usec, getpid(), getppid());
}

Temp_dir_names::Temp_dir_names(uint64_t seed) : state_(seed) {}

std::string Temp_dir_names::next() {
    // splitmix64: every bit of the seed reaches every bit of the result, so
    // seeds one microsecond or one pid apart give unrelated numbers.
    state_ += 0x9e3779b97f4a7c15ULL;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    constexpr uint64_t range = 1073741823;  // 2^30 - 1, exclusive
    return "/tmp/plotr-" + std::to_string(z % range);
}

Temp_dir::Temp_dir(Temp_dir_names names) : names_(names), name_(names_.next()) {}

const std::string& Temp_dir::create() {
    for (int attempt = 1; mkdir(name_.c_str(), 0700) != 0; ++attempt) {
        if (errno != EEXIST) {
            throw failure("cannot create a private temporary directory: " + name_ + ": " +
                          std::strerror(errno));
        }
        if (attempt == attempts) {
            throw failure("cannot create a private temporary directory: " +
                          std::to_string(attempts) + " names in use, the last " + name_);
        }
        name_ = names_.next();
    }
    return name_;
}

}  // namespace plotr
