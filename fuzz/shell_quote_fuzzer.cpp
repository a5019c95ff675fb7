// Arbitrary URL templates and directory names (input: template, NUL, directory) through
// the real mkdir, curl and rm command lines. The shell must hand each value over as
// exactly one argument, byte for byte, as a model of sh word splitting reads the line.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/text.h"
#include "shell_words.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace plotr::shell_words;
    const std::vector<Shell_call> calls = tile_calls({reinterpret_cast<const char*>(data), size});
    if (calls.size() != 3) {
        std::fprintf(stderr, "shell fuzzer: %zu command lines instead of 3\n", calls.size());
        std::abort();
    }
    for (const Shell_call& call : calls) {
        if (split_words(call.line) == call.words) continue;
        std::fprintf(stderr, "shell fuzzer: the shell would not read back the value\n%s\n",
                     plotr::quote_escaped(call.line).c_str());
        std::abort();
    }
    return 0;
}
