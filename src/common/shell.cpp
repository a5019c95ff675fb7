#include "common/shell.h"

#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <span>
#include <vector>

#include "common/failure.h"
#include "common/text.h"

namespace plotr {

namespace {

// Signals are process-wide, so this state is too. Handlers read and write it,
// hence lock-free atomics only.
enum Guard : int { unguarded, guarded, cleaning };
std::atomic<int> guard{unguarded};
std::atomic<int> request{0};      // the first signal that came while guarded
std::atomic<pid_t> running{0};    // the command being waited for
void (*last_words_)() = nullptr;  // set before any handler is installed
const Watch* watching = nullptr;  // of Shell::run_watched, while its command runs
// Ignored here (see install_interrupt_handlers) unless they were at start,
// and back to their default actions for commands.
bool file_size_signal_ignored_at_start = false;
bool pipe_signal_ignored_at_start = false;
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free);

// Termination requests.
constexpr int requests[] = {SIGTERM, SIGHUP, SIGINT};
// Those that reach plotr alone while a command runs, to be sent on: the
// terminal sends SIGINT to the command as well, and plotr ignores it meanwhile.
constexpr std::span<const int> sent_on(requests, 2);

void set_action(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

// Async-signal-safe. Inside a handler the signal is blocked, so it is
// delivered, by its default action, as the handler returns.
void die_of(int signal) {
    if (last_words_ != nullptr) {
        last_words_();
    }
    set_action(signal, SIG_DFL);
    raise(signal);
}

extern "C" void on_request(int signal) {
    const int saved_errno = errno;
    if (guard.load() == unguarded) {
        die_of(signal);
    } else {
        int none = 0;
        request.compare_exchange_strong(none, signal);
        // The command ends as if interrupted, and the run with it; the
        // cleanup's own "rm -r" is left alone.
        const pid_t pid = running.load();
        if (guard.load() == guarded && pid > 0) {
            kill(pid, signal);
        }
    }
    errno = saved_errno;
}

sigset_t signal_set(std::span<const int> signals, std::initializer_list<int> more = {}) {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : signals) {
        sigaddset(&set, s);
    }
    for (const int s : more) {
        sigaddset(&set, s);
    }
    return set;
}

// What system(3) changes while a command runs, and puts back after.
class Waiting {
public:
    Waiting() {
        const sigset_t block = signal_set(sent_on, {SIGCHLD});
        pthread_sigmask(SIG_BLOCK, &block, &mask_);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGINT, &ignore, &interrupt_);
        sigaction(SIGQUIT, &ignore, &quit_);
    }
    ~Waiting() {
        sigaction(SIGINT, &interrupt_, nullptr);
        sigaction(SIGQUIT, &quit_, nullptr);
        pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
    }
    Waiting(const Waiting&) = delete;
    Waiting& operator=(const Waiting&) = delete;

    /// The shell starts with the signal mask and, for SIGINT and SIGQUIT unless
    /// they were ignored before, the default actions of the time before.
    int spawn(pid_t& pid, const std::string& command_line) const {
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t defaults = signal_set({});
        if (interrupt_.sa_handler != SIG_IGN) {
            sigaddset(&defaults, SIGINT);
        }
        if (quit_.sa_handler != SIG_IGN) {
            sigaddset(&defaults, SIGQUIT);
        }
        // Ignored here only so that our own writes fail; the command's size
        // limit below relies on the signal ending it.
        if (!file_size_signal_ignored_at_start) {
            sigaddset(&defaults, SIGXFSZ);
        }
        if (!pipe_signal_ignored_at_start) {
            sigaddset(&defaults, SIGPIPE);
        }
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setsigmask(&attr, &mask_);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        // Whatever plotr holds open (a cache entry, a status file, -o /dev/fd/3)
        // is none of the command's business.
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addclosefrom_np(&files, 3);
        // The child inherits the limit it starts with; ours goes back at once.
        rlimit own{};
        getrlimit(RLIMIT_FSIZE, &own);
        rlimit lowered = own;
        if (lowered.rlim_cur == RLIM_INFINITY ||
            lowered.rlim_cur > static_cast<rlim_t>(command_file_size_limit)) {
            lowered.rlim_cur = command_file_size_limit;
        }
        setrlimit(RLIMIT_FSIZE, &lowered);
        std::string line = command_line;
        char sh[] = "sh";
        char dash_c[] = "-c";
        char end_of_options[] = "--";  // as system(3) passes it
        char* const argv[] = {sh, dash_c, end_of_options, line.data(), nullptr};
        const int error = posix_spawn(&pid, "/bin/sh", &files, &attr, argv, environ);
        setrlimit(RLIMIT_FSIZE, &own);
        posix_spawn_file_actions_destroy(&files);
        posix_spawnattr_destroy(&attr);
        return error;
    }

private:
    sigset_t mask_;
    struct sigaction interrupt_ {};
    struct sigaction quit_ {};
};

// The processes a shell that was killed leaves behind, which come to us as
// we are their subreaper; a running command is our only child.
std::vector<pid_t> orphans() {
    std::vector<pid_t> pids;
    std::error_code error;
    for (std::filesystem::directory_iterator task("/proc/self/task", error), end;
         !error && task != end; task.increment(error)) {
        std::ifstream file(task->path() / "children");
        for (pid_t pid = 0; file >> pid;) {
            pids.push_back(pid);
        }
    }
    return pids;
}

// The command ends with its shell. SIGKILL, as a background job of the shell
// may ignore the signal that ended the shell. Their own children come to us
// in turn, hence the rounds.
void end_orphans() {
    std::vector<pid_t> left = orphans();
    for (int round = 0; !left.empty() && round < 100; ++round, left = orphans()) {
        for (const pid_t pid : left) {
            kill(pid, SIGKILL);
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
}

void end_guard() {
    guard.store(unguarded);
    if (const int signal = request.exchange(0); signal != 0) {
        die_of(signal);
    }
}

// Polls until the command ends; kills it when the watch says so.
void watch_until_exit(pid_t pid, const Watch& watch) {
    for (;;) {
        siginfo_t info{};
        const int done = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | WNOHANG);
        if ((done == 0 && info.si_pid != 0) || (done != 0 && errno != EINTR)) {
            return;
        }
        // SIGCHLD is blocked meanwhile: it ends the wait as the command ends.
        const timespec tenth{0, 100'000'000};
        const sigset_t child = signal_set({}, {SIGCHLD});
        sigtimedwait(&child, nullptr, &tenth);
        if (!watch()) {
            kill(pid, SIGKILL);
            return;
        }
    }
}

}  // namespace

int system_exit_code(const std::string& command_line) {
    // /bin/sh forks for the command, so a request sent on to the shell alone
    // would leave the command running, reparented; this way it comes to us.
    static const bool subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    const Waiting waiting;
    pid_t pid = 0;
    if (waiting.spawn(pid, command_line) != 0) {
        return 127;  // as system(3) reports a shell that cannot be started
    }
    // A request that came since the last safe point ends the command too;
    // those blocked since the spawn are sent on as they are unblocked.
    running.store(pid);
    if (const int signal = request.load(); signal != 0 && guard.load() == guarded) {
        kill(pid, signal);
    }
    const sigset_t requests_only = signal_set(sent_on);
    pthread_sigmask(SIG_UNBLOCK, &requests_only, nullptr);
    // Wait without reaping: while the child is a zombie its pid cannot be
    // reused, so a request never reaches a stranger.
    siginfo_t info{};
    if (watching != nullptr) {
        watch_until_exit(pid, *watching);
    }
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    pthread_sigmask(SIG_BLOCK, &requests_only, nullptr);
    running.store(0);
    int status = 0;
    pid_t reaped = 0;
    while ((reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (reaped != pid) {
        throw sys_error(command_line + ": " + std::strerror(errno));
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (subreaper) {
        end_orphans();
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

void install_interrupt_handlers(void (*last_words)()) {
    last_words_ = last_words;
    struct sigaction action {};
    action.sa_handler = on_request;
    action.sa_mask = signal_set(requests);
    action.sa_flags = SA_RESTART;
    for (const int signal : requests) {
        struct sigaction before {};
        sigaction(signal, nullptr, &before);
        // An ignored signal was meant to be: nohup, or a background job's SIGINT.
        if (before.sa_handler != SIG_IGN) {
            sigaction(signal, &action, nullptr);
        }
    }
    // A write past the file size limit then fails as on a full disk, and the
    // run ends through its failure path, instead of dying with the file half
    // written.
    // A closed standard output (plotr ... | head -1) makes the progress lines
    // fail, and only them: the run goes on.
    const auto ignored_at_start = [](int signal) {
        struct sigaction before {};
        sigaction(signal, nullptr, &before);
        return before.sa_handler == SIG_IGN;
    };
    static const bool size_ignored = ignored_at_start(SIGXFSZ);
    static const bool pipe_ignored = ignored_at_start(SIGPIPE);
    file_size_signal_ignored_at_start = size_ignored;
    pipe_signal_ignored_at_start = pipe_ignored;
    set_action(SIGXFSZ, SIG_IGN);
    set_action(SIGPIPE, SIG_IGN);
}

std::string removal_command(const std::string& dir) { return "rm -r " + shell_quote(dir); }

std::string removal_line(const std::string& dir) {
    return "removing temporary directory " + dir + "\n";
}

Shell::Shell(Console& console, System system, Cleanup cleanup)
    : console_(console), system_(std::move(system)), cleanup_(std::move(cleanup)) {}

Shell::Shell(Console& console, System system, std::function<std::string()> temp_dir)
    : Shell(console, system, Cleanup{[&console, system, temp_dir] {
                // Unchecked: a directory that is already gone must not start a
                // second round of messages.
                console.out_flushed(removal_line(temp_dir()));
                system(removal_command(temp_dir()));
            }}) {}

void Shell::guard_temp_dir() const {
    request.store(0);
    guard.store(guarded);
}

void Shell::hold_requests() const { guard.store(cleaning); }

void Shell::end_guard() const { plotr::end_guard(); }

void Shell::stop_if_interrupted() const {
    if (guard.load() == guarded && request.load() != 0) {
        exit_with_cleanup(1);
    }
}

void Shell::run_command(const std::string& command_line) const {
    if (const int code = run_for_code(command_line); code != 0) {
        fail(command_line, code);
    }
}

int Shell::run_for_code(const std::string& command_line) const {
    stop_if_interrupted();
    return system_(command_line);
}

int Shell::run_watched(const std::string& command_line, const Watch& watch) const {
    stop_if_interrupted();
    watching = &watch;
    struct Unwatch {
        ~Unwatch() { watching = nullptr; }
    } unwatch;
    return system_(command_line);
}

void Shell::pause(double seconds) const {
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(seconds));
    for (;;) {
        stop_if_interrupted();
        const auto left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return;
        }
        // Short steps: a request that comes just before a step waits for it.
        const std::chrono::nanoseconds step =
            std::min<std::chrono::nanoseconds>(left, std::chrono::milliseconds(50));
        const timespec wait{0, static_cast<long>(step.count())};
        nanosleep(&wait, nullptr);
    }
}

void Shell::fail(const std::string& command_line, int code, const std::string& detail) const {
    console_.err(quote_escaped(command_line) + format(" failed with exit code %d\n", code) +
                 detail);
    exit_with_cleanup(1);
}

void Shell::exit_with_cleanup(int status) const {
    int was = guarded;
    guard.compare_exchange_strong(was, cleaning);
    cleanup_.run();
    console_.flush();
    throw Early_exit{status};
}

}  // namespace plotr
