// SPDX-License-Identifier: GPL-3.0-or-later
// Preloaded into the arm64 programs when the tests run under qemu-user, which
// puts LD_PRELOAD into each emulated program's environment (QEMU_SET_ENV).
// qemu 7.2 refuses clone() with CLONE_PIDFD, yet passes waitid(P_PIDFD) on to
// the kernel, whose answer tells Qt's forkfd that pidfds work: every
// QProcess::start then fails. Answering that probe as a kernel before Linux
// 5.4 would makes Qt start its children with a plain fork.
#include <dlfcn.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

namespace {

using SyscallFunction = long (*)(long, ...);
// The most arguments a Linux system call takes.
constexpr int kSyscallArguments = 6;

// The children started natively (curl, indiserver, ...) must not try to load
// an arm64 library; the emulated ones get it from qemu again.
__attribute__((constructor)) void keepPreloadFromChildren()
{
    unsetenv("LD_PRELOAD");
}

}  // namespace

extern "C" long syscall(long number, ...) noexcept
{
    long arguments[kSyscallArguments];
    va_list list;
    va_start(list, number);
    for (long& argument : arguments)
        argument = va_arg(list, long);
    va_end(list);
    if (number == SYS_waitid && arguments[0] == P_PIDFD) {
        errno = EINVAL;
        return -1;
    }
    static const auto next = reinterpret_cast<SyscallFunction>(dlsym(RTLD_NEXT, "syscall"));
    return next(number, arguments[0], arguments[1], arguments[2], arguments[3], arguments[4], arguments[5]);
}
