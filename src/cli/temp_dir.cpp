#include "cli/temp_dir.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

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

Temp_dir_names::Temp_dir_names(uint64_t seed, std::string prefix)
    : state_(seed), prefix_(std::move(prefix)) {}

std::string Temp_dir_names::next() {
    // splitmix64: every bit of the seed reaches every bit of the result, so
    // seeds one microsecond or one pid apart give unrelated numbers.
    state_ += 0x9e3779b97f4a7c15ULL;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    constexpr uint64_t range = 1073741823;  // 2^30 - 1, exclusive
    return prefix_ + std::to_string(z % range);
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

Run_dir::Run_dir(Temp_dir_names names, Console& console, System system)
    : dir_(std::move(names)),
      console_(console),
      shell_(console, std::move(system), Cleanup{[this] {
                 // Unchecked: a directory that is already gone must not start a
                 // second round of messages.
                 announce_removal();
                 shell_.run_plainly(removal_command(dir_.name()));
                 gone_ = true;
             }}) {}

Run_dir::~Run_dir() {
    if (!made_ || gone_) {
        return;
    }
    // A run that ends by a failure leaves nothing behind, and says nothing
    // unless the removal fails.
    shell_.hold_requests();
    std::error_code error;
    std::filesystem::remove_all(dir_.name(), error);
    if (error) {
        console_.err("plotr: cannot remove the temporary directory " + dir_.name() + ": " +
                     error.message() + "\n");
    }
    shell_.end_guard();
}

std::string Run_dir::path() {
    if (!made_) {
        shell_.guard_temp_dir();
        dir_.create();
        made_ = true;
    }
    return dir_.name();
}

void Run_dir::announce_removal() const { console_.out_flushed(removal_line(dir_.name())); }

void Run_dir::finish(bool any_tile) {
    if (!made_) {
        if (!any_tile) {
            announce_removal();
        }
        return;
    }
    shell_.stop_if_interrupted();
    // A request from now on waits for the removal instead of failing it.
    shell_.hold_requests();
    announce_removal();
    shell_.run_command(removal_command(dir_.name()));
    gone_ = true;
    shell_.end_guard();
}

}  // namespace plotr
