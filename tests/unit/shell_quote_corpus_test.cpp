// The fuzzer trusts a model of how /bin/sh splits a command line. Here the real shell has
// the last word: on hand-picked lines for the model itself, and on the real mkdir, curl
// and rm lines built from the committed fuzz corpus.

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "../../fuzz/shell_words.h"
#include "common/text.h"

namespace plotr::shell_words {
namespace {

using Words = std::vector<std::string>;

// Runs `line` with /bin/sh -c, where mkdir, curl and rm are shell functions that print
// their name and arguments, each ended by a NUL. PATH leads nowhere, so no real program
// runs even if a line is read wrongly.
Words run_in_shell(const std::string& line) {
    const std::string script =
        "mkdir() { printf '%s\\0' mkdir \"$@\"; }\n"
        "curl() { printf '%s\\0' curl \"$@\"; }\n"
        "rm() { printf '%s\\0' rm \"$@\"; }\n" +
        line + "\n";
    int out[2];
    if (pipe(out) != 0) return {"pipe failed"};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
    const char* envp[] = {"PATH=/nonexistent", "LC_ALL=C", nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv),
                                    const_cast<char**>(envp));
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string printed;
    char buffer[4096];
    for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) > 0;) printed.append(buffer, got);
    close(out[0]);
    if (spawned != 0) return {"spawn failed"};
    int status = 0;
    waitpid(pid, &status, 0);

    Words words;
    for (size_t start = 0; start < printed.size();) {
        const size_t end = printed.find('\0', start);
        if (end == std::string::npos) return {"unterminated output", printed};
        words.push_back(printed.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

TEST(ShellWordsModel, AgreesWithTheShellOrRefuses) {
    const std::optional<Words> refused;
    const struct {
        std::string line;
        std::optional<Words> words;
    } cases[] = {
        {"curl a  b\tc", Words{"curl", "a", "b", "c"}},
        {"curl 'a b' ''", Words{"curl", "a b", ""}},
        {"curl 'it'\\''s' x'y'z", Words{"curl", "it's", "xyz"}},
        {"curl '$(x) `y` ; & | \" \\ \n *?[ ~ #'",
         Words{"curl", "$(x) `y` ; & | \" \\ \n *?[ ~ #"}},
        {"curl \\$x \\' \\ a", Words{"curl", "$x", "'", " a"}},
        {"curl _@%+=:,./-", Words{"curl", "_@%+=:,./-"}},
        {"curl '\x81\x88\xff'", Words{"curl", "\x81\x88\xff"}},
        {"curl 'open", refused},
        {"curl a\\", refused},
        {"curl a\\\nb", refused},
        {"curl a\nrm b", refused},
        {"curl $HOME", refused},
        {"curl ~", refused},
        {"curl a#b", refused},
        {"curl *", refused},
        {"curl \"a\"", refused},
        {"curl a;rm b", refused},
        {"curl \xe9", refused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(quote_escaped(c.line));
        EXPECT_EQ(split_words(c.line), c.words);
        if (c.words) {
            EXPECT_EQ(run_in_shell(c.line), *c.words);
        }
    }
}

std::vector<std::filesystem::path> corpus_sample(size_t most) {
    const std::filesystem::path dir =
        std::filesystem::path(PLOTR_TEST_DATA) / "../../fuzz/corpus/shell_quote";
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    // Every k-th file, so the sample spreads over the whole corpus.
    const size_t step = std::max<size_t>(1, (files.size() + most - 1) / most);
    std::vector<std::filesystem::path> sample;
    for (size_t i = 0; i < files.size(); i += step) sample.push_back(files[i]);
    return sample;
}

TEST(ShellQuoteCorpus, TheShellHandsOverEachValueWhole) {
    const std::vector<std::filesystem::path> sample = corpus_sample(60);
    ASSERT_GE(sample.size(), 10u);
    for (const std::filesystem::path& file : sample) {
        std::ifstream stream(file, std::ios::binary);
        const std::string input{std::istreambuf_iterator<char>(stream), {}};
        const std::vector<Shell_call> calls = tile_calls(input);
        ASSERT_EQ(calls.size(), 3u) << file;
        for (const Shell_call& call : calls) {
            SCOPED_TRACE(file.filename().string() + ": " + quote_escaped(call.line));
            // A line the model refuses is not run: it could do anything.
            const std::optional<Words> modelled = split_words(call.line);
            EXPECT_EQ(modelled, call.words);
            if (modelled) {
                EXPECT_EQ(run_in_shell(call.line), call.words);
            }
        }
    }
}

}  // namespace
}  // namespace plotr::shell_words
