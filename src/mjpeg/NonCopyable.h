// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace quelmor::utils {

// Base for objects that own threads or sockets: copying one would duplicate
// ownership, so copies are forbidden.
class NonCopyable {
public:
    NonCopyable(const NonCopyable&) = delete;
    NonCopyable& operator=(const NonCopyable&) = delete;

protected:
    NonCopyable() = default;
    ~NonCopyable() = default;
};

}  // namespace quelmor::utils
