#pragma once

#include <cstddef>

namespace plotr {

/// An open file descriptor, closed with its owner; move-only.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();
    int get() const { return fd_; }
    /// Closes the descriptor now, once; gives close's result (0, or -1 with errno).
    int close();

private:
    int fd_;
};

/// Writes all `size` bytes to the descriptor, retrying after EINTR and short
/// writes; false (errno set) when a write fails.
bool write_all(int fd, const char* data, std::size_t size);

}  // namespace plotr
