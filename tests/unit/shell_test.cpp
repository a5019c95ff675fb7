#include "cli/shell.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "cli/command_line.h"
#include "cli/temp_dir.h"
#include "common/failure.h"

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
    const std::string path = ::testing::TempDir() + "plotr-quote-check";
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
    const Shell shell(
        console,
        [&](const std::string& line) {
            ran.push_back(line);
            return line == "false \"x\"" ? 7 : 0;
        },
        [] { return std::string("/tmp/plotr-5"); });
    shell.run_command("true");
    EXPECT_EQ(console.log, "");
    try {
        shell.run_command("false \"x\"");
        FAIL() << "returned";
    } catch (const Early_exit& exit) {
        EXPECT_EQ(exit.status, 1);
    }
    EXPECT_EQ(
        console.log,
        "\"false \\\"x\\\"\" failed with exit code 7\nremoving temporary directory /tmp/plotr-5\n");
    EXPECT_EQ(ran, (std::vector<std::string>{"true", "false \"x\"", "rm -r /tmp/plotr-5"}));
}

TEST(TempDir, NamesInUseAreDrawnAgainAndTheDirectoryIsPrivate) {
    Temp_dir_names names(42);
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
    Temp_dir dir{Temp_dir_names(42)};
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
    Temp_dir crowded{Temp_dir_names(42)};
    EXPECT_THROW(crowded.create(), Fatal_error);
    cleanup();
}

}  // namespace
}  // namespace plotr
