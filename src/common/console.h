#pragma once

#include <string>
#include <string_view>

namespace plotr {

/// The program's two message streams. Standard output is buffered and reaches
/// the terminal only at `flush`; standard error is written at once.
class Console {
public:
    virtual ~Console() = default;
    virtual void out(std::string_view text) = 0;
    virtual void flush() = 0;
    virtual void err(std::string_view text) = 0;

    /// Prints on standard output and flushes it, for messages that must be
    /// visible before the next step starts.
    void out_flushed(std::string_view text) {
        out(text);
        flush();
    }
};

/// The process's stdout and stderr. Standard output is made fully buffered,
/// also on a terminal, so that only the flushes above push it out. What
/// cannot be written (a closed pipe) is dropped without a word.
class Std_console final : public Console {
public:
    Std_console();
    void out(std::string_view text) override;
    void flush() override;
    void err(std::string_view text) override;
};

/// Keeps both streams in memory, for tests. `log` records everything in the
/// order a terminal showing both streams would see it.
class Recording_console final : public Console {
public:
    void out(std::string_view text) override;
    void flush() override;
    void err(std::string_view text) override;

    std::string stdout_text;
    std::string stderr_text;
    std::string log;

private:
    std::string pending_;
};

}  // namespace plotr
