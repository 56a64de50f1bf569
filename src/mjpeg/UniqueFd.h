// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace quelmor::net {

// Move-only owner of one file descriptor: closes it on destruction.
// Not thread-safe; each owner is used by one thread at a time.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) { }
    ~UniqueFd();

    UniqueFd(UniqueFd&& other) noexcept;
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool isValid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release();
    // Closes the held descriptor, if any, and takes fd.
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

}  // namespace quelmor::net
