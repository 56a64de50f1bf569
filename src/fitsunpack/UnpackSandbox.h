// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>

// Confines the unpacking process before it reads anything of the picture:
// resource limits (address space, CPU time, no file written, no descriptor
// opened, no core), no new privileges, death with the thread that started it,
// and a seccomp filter under which it can only read descriptor 0, write 1 and
// 2, map memory that is never executable, and exit. Any other system call
// kills it. False, with the reason in `error`, when any of it cannot be set
// up (qemu-user, for one, refuses seccomp): the process must then stop.
struct UnpackLimits {
    // 0 leaves the address space unlimited (sanitizer builds reserve terabytes).
    std::int64_t addressSpaceBytes = 0;
    int cpuSeconds = 0;
};

bool enterUnpackSandbox(const UnpackLimits& limits, std::string& error);
