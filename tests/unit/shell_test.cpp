#include "common/shell.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "cli/command_line.h"
#include "cli/temp_dir.h"
#include "common/failure.h"
#include "own_temp_path.h"

namespace plotr {
namespace {

TEST(ShellQuote, OrdinaryValuesStayAsTheyAre) {
    for (const char* plain :
         {"/tmp/plotr-12/13/4399/2685.png", "http://a.b-c.org:8080/1/2/3.png", "x_y@z%20+a=b,c"}) {
        EXPECT_EQ(shell_quote(plain), plain);
    }
    EXPECT_EQ(shell_quote(""), "''");
    EXPECT_EQ(shell_quote("a b"), "'a b'");
    EXPECT_EQ(shell_quote("it's"), "'it'\\''s'");
}

// What the shell hands to a program must be the value itself, whatever it holds.
TEST(ShellQuote, TheShellReadsBackTheSameBytes) {
    const std::string path = own_temp_path("quote-check");
    for (const std::string value : {"a;touch x", "$(touch x)", "`touch x`", "p?a=1&b=2", "q\"uo'te",
                                    " lead\ttab\nline", "back\\slash*", "~user", "''", "-n"}) {
        const std::string line = "printf '%s' " + shell_quote(value) + " > " + path;
        ASSERT_EQ(system_exit_code(line), 0) << line;
        FILE* file = std::fopen(path.c_str(), "rb");
        ASSERT_NE(file, nullptr);
        char buffer[256];
        const std::size_t n = std::fread(buffer, 1, sizeof buffer, file);
        std::fclose(file);
        EXPECT_EQ(std::string(buffer, n), value);
    }
    std::remove(path.c_str());
}

TEST(Shell, ExitCodesAndTheFailurePath) {
    EXPECT_EQ(system_exit_code("exit 3"), 3);
    EXPECT_EQ(system_exit_code("kill -9 $$"), 255);

    Recording_console console;
    std::vector<std::string> ran;
    const Run_dir dir(Temp_dir_names(5, "/tmp/plotr-test-"), console, [&](const std::string& line) {
        ran.push_back(line);
        return line == "false \"x\"" ? 7 : 0;
    });
    const Shell& shell = dir.shell();
    shell.run_command("true");
    EXPECT_EQ(console.log, "");
    try {
        shell.run_command("false \"x\"");
        FAIL() << "returned";
    } catch (const Early_exit& exit) {
        EXPECT_EQ(exit.status, 1);
    }
    EXPECT_EQ(console.log,
              "\"false \\\"x\\\"\" failed with exit code 7\nremoving temporary directory " +
                  dir.name() + "\n");
    EXPECT_EQ(ran, (std::vector<std::string>{"true", "false \"x\"", "rm -r " + dir.name()}));

    // A run without any tile made no directory: the removal line alone, once.
    Recording_console quiet;
    Run_dir none(Temp_dir_names(6, "/tmp/plotr-test-"), quiet, [&](const std::string& line) {
        ran.push_back(line);
        return 1;
    });
    none.finish(false);
    EXPECT_EQ(quiet.log, "removing temporary directory " + none.name() + "\n");
    EXPECT_EQ(ran.size(), 3u);
}

bool ignored(int signal) {
    struct sigaction action {};
    sigaction(signal, nullptr, &action);
    return action.sa_handler == SIG_IGN;
}

// What the command sees of system(3)'s signal handling, and what we keep.
TEST(Shell, CommandsRunAsUnderSystem) {
    const std::string big = own_temp_path("big");
    // Opened as a library might, without close-on-exec.
    const int leaky = open("/dev/null", O_RDONLY);
    struct Case {
        std::string line;
        int code;
    };
    for (const Case& c : {
             // The shell starts with SIGINT (unless we ignore it ourselves, as a
             // background job does) and SIGTERM at their defaults, unblocked.
             Case{"kill -INT $$; exit 0", ignored(SIGINT) ? 0 : 255},
             Case{"kill -TERM $$; exit 0", 255},
             // We ignore SIGINT and SIGQUIT while it runs: the terminal sends
             // them to the command too.
             Case{"kill -INT $PPID; kill -QUIT $PPID; exit 3", 3},
             // A file it writes stops at the size limit, ended by SIGXFSZ
             // although we ignore it.
             Case{"{ head -c 70000000 /dev/zero > " + big + "; } 2>/dev/null; exit $?",
                  128 + SIGXFSZ},
             // It gets none of our descriptors past the standard three.
             Case{"test ! -e /proc/self/fd/" + std::to_string(leaky), 0},
         }) {
        struct sigaction ignore {};
        struct sigaction before {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &before);
        EXPECT_EQ(system_exit_code(c.line), c.code) << c.line;
        sigaction(SIGXFSZ, &before, nullptr);
    }
    struct stat st {};
    ASSERT_EQ(stat(big.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, command_file_size_limit);
    std::remove(big.c_str());
    close(leaky);
    rlimit ours{};
    getrlimit(RLIMIT_FSIZE, &ours);
    EXPECT_EQ(ours.rlim_cur, RLIM_INFINITY) << "the limit is the command's only";
}

void say_last_words() {
    if (write(STDERR_FILENO, "last words\n", 11) < 0) {
        return;
    }
}

// A run's directory, made and guarded, on the real `system` unless told otherwise.
struct Guarded_run {
    Recording_console console;
    Run_dir run_dir;
    const Shell& shell = run_dir.shell();
    std::string dir;

    explicit Guarded_run(System system = system_exit_code)
        : run_dir(Temp_dir_names(getpid(), own_temp_path("guarded-")), console, std::move(system)) {
        install_interrupt_handlers(say_last_words);
        dir = run_dir.path();
    }
    static int status_of(const std::function<void()>& step) {
        try {
            step();
        } catch (const Early_exit& exit) {
            return exit.status;
        }
        return -1;
    }
    bool dir_exists() const { return access(dir.c_str(), F_OK) == 0; }
};

std::vector<pid_t> own_children() {
    std::ifstream file("/proc/self/task/" + std::to_string(getpid()) + "/children");
    std::vector<pid_t> pids;
    for (pid_t pid = 0; file >> pid;) {
        pids.push_back(pid);
    }
    return pids;
}

TEST(Interrupts, ARequestDuringACommandEndsItAndTheRun) {
    Guarded_run run;
    // The shell forks for its commands: the background one ends too, rather
    // than sleep on.
    const std::string line = "sleep 30 & kill -TERM $PPID; wait";
    EXPECT_EQ(run.status_of([&] { run.shell.run_command(line); }), 1);
    EXPECT_EQ(run.console.log, "\"" + line + "\" failed with exit code 255\n" +
                                   "removing temporary directory " + run.dir + "\n");
    EXPECT_FALSE(run.dir_exists());
    EXPECT_EQ(own_children(), std::vector<pid_t>{});
}

TEST(Interrupts, BetweenCommandsTheNextSafePointActs) {
    Guarded_run run;
    raise(SIGTERM);
    const std::string mark = run.dir + "-ran";
    EXPECT_EQ(run.status_of([&] { run.shell.run_command("touch " + mark); }), 1);
    EXPECT_EQ(run.console.log, "removing temporary directory " + run.dir + "\n");
    EXPECT_FALSE(run.dir_exists());
    EXPECT_NE(access(mark.c_str(), F_OK), 0) << "the command ran";
}

TEST(Interrupts, TheCleanupIsNotInterrupted) {
    // The removal that ends the run gets no request sent on: this one asks
    // for one and writes its mark once we have taken it (nothing pending) and
    // gone back to waiting (sleeping), so a request sent on would come first.
    const std::string taken =
        "awk '/^State:/ { s = $2 } /^(SigPnd|ShdPnd):/ && index(\"4567cdef\", "
        "substr($2, 13, 1)) { p = 1 } END { exit !(s == \"S\" && !p) }' /proc/$PPID/status";
    std::string mark;
    Guarded_run run([&](const std::string&) {
        return system_exit_code("kill -TERM $PPID; until " + taken + "; do :; done; echo done > " +
                                mark);
    });
    mark = run.dir + "-cleaned";
    EXPECT_EQ(run.status_of([&] { run.shell.exit_with_cleanup(1); }), 1);
    std::ifstream file(mark);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "done\n");
    std::remove(mark.c_str());
    rmdir(run.dir.c_str());
}

TEST(InterruptsDeathTest, UnguardedTheSignalsOwnActionEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Before the directory is guarded, after it is removed, and as soon as the
    // removal is done for a request that came meanwhile.
    EXPECT_EXIT(
        {
            install_interrupt_handlers(say_last_words);
            raise(SIGTERM);
        },
        ::testing::KilledBySignal(SIGTERM), "last words");
    EXPECT_EXIT(
        {
            Guarded_run run;
            run.run_dir.finish(true);
            raise(SIGHUP);
        },
        ::testing::KilledBySignal(SIGHUP), "last words");
    EXPECT_EXIT(
        {
            // The removal itself is real: nothing stays behind in the test's folder.
            Guarded_run run([](const std::string& line) {
                raise(SIGTERM);
                return system_exit_code(line);
            });
            run.run_dir.finish(true);
            std::fprintf(stderr, "went on\n");
        },
        ::testing::KilledBySignal(SIGTERM), "last words");
}

TEST(TempDir, NamesInUseAreDrawnAgainAndTheDirectoryIsPrivate) {
    // Names of this process's own: two runs of the test draw different ones.
    const uint64_t seed = static_cast<uint64_t>(getpid());
    Temp_dir_names names(seed);
    std::vector<std::string> drawn;
    for (int i = 0; i < Temp_dir::attempts; ++i) {
        drawn.push_back(names.next());
    }
    const auto cleanup = [&] {
        for (const std::string& d : drawn) {
            rmdir(d.c_str());
        }
    };
    cleanup();
    // Someone holds the first name: the second is used.
    ASSERT_EQ(mkdir(drawn[0].c_str(), 0755), 0);
    Temp_dir dir{Temp_dir_names(seed)};
    EXPECT_EQ(dir.name(), drawn[0]);
    EXPECT_EQ(dir.create(), drawn[1]);
    EXPECT_EQ(dir.name(), drawn[1]);
    struct stat st {};
    ASSERT_EQ(stat(drawn[1].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Every name taken: a clear failure, nothing created.
    for (const std::string& d : drawn) {
        mkdir(d.c_str(), 0755);
    }
    Temp_dir crowded{Temp_dir_names(seed)};
    EXPECT_THROW(crowded.create(), Fatal_error);
    cleanup();
}

}  // namespace
}  // namespace plotr
