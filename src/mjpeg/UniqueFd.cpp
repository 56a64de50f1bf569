// SPDX-License-Identifier: GPL-3.0-or-later
#include "mjpeg/UniqueFd.h"

#include <unistd.h>

#include <utility>

namespace quelmor::net {

UniqueFd::~UniqueFd()
{
    reset();
}

UniqueFd::UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) { }

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int UniqueFd::release()
{
    return std::exchange(fd_, -1);
}

void UniqueFd::reset(int fd)
{
    const int old = std::exchange(fd_, fd);
    if (old >= 0)
        ::close(old);
}

}  // namespace quelmor::net
