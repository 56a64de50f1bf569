// SPDX-License-Identifier: GPL-3.0-or-later
#include "fitsunpack/UnpackSandbox.h"

#include "fitsunpack/UnpackProtocol.h"

#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>

namespace {

// The descriptors it holds: request, reply, standard error, samples.
constexpr rlim_t kOpenDescriptors = kUnpackSamplesFd + 1;

bool limit(int resource, rlim_t soft, rlim_t hard, const char* name, std::string& error)
{
    const rlimit value{soft, hard};
    if (setrlimit(resource, &value) == 0)
        return true;
    error = std::string("the unpacking sandbox cannot set ") + name + ": " + std::strerror(errno);
    return false;
}

bool limitResources(const UnpackLimits& limits, std::string& error)
{
    const auto cpu = rlim_t(limits.cpuSeconds);
    const bool limited = limit(RLIMIT_CPU, cpu, cpu + 1, "RLIMIT_CPU", error) &&
        limit(RLIMIT_FSIZE, 0, 0, "RLIMIT_FSIZE", error) &&
        limit(RLIMIT_NOFILE, kOpenDescriptors, kOpenDescriptors, "RLIMIT_NOFILE", error) &&
        limit(RLIMIT_CORE, 0, 0, "RLIMIT_CORE", error);
    if (!limited || limits.addressSpaceBytes == 0)
        return limited;
    const auto bytes = rlim_t(limits.addressSpaceBytes);
    return limit(RLIMIT_AS, bytes, bytes, "RLIMIT_AS", error);
}

struct FilterDeleter {
    void operator()(void* filter) const { seccomp_release(filter); }
};

// Every rule added or the first libseccomp error.
int allowSystemCalls(scmp_filter_ctx filter)
{
    // sigaltstack: AddressSanitizer asks for the signal stack before every
    // call that does not return (the process's last, _exit).
    const int plain[] = {SCMP_SYS(brk), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(madvise), SCMP_SYS(futex),
        SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(rt_sigreturn), SCMP_SYS(clock_gettime),
        SCMP_SYS(sigaltstack)};
    for (const int call : plain) {
        if (const int result = seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0); result != 0)
            return result;
    }
    const int fdRules[][2] = {{SCMP_SYS(read), kUnpackRequestFd}, {SCMP_SYS(write), kUnpackReplyFd},
        {SCMP_SYS(write), STDERR_FILENO}};
    for (const auto& [call, fd] : fdRules) {
        if (const int result = seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 1, SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(fd)));
            result != 0)
            return result;
    }
    // Memory, never executable: the picture's bytes cannot become code.
    for (const int call : {SCMP_SYS(mmap), SCMP_SYS(mprotect)}) {
        if (const int result =
                seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 1, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
            result != 0)
            return result;
    }
    return 0;
}

bool loadFilter(std::string& error)
{
    const std::unique_ptr<void, FilterDeleter> filter(seccomp_init(SCMP_ACT_KILL_PROCESS));
    int result = filter ? allowSystemCalls(filter.get()) : -ENOMEM;
    if (result == 0)
        result = seccomp_load(filter.get());
    if (result == 0)
        return true;
    error = std::string("the unpacking sandbox cannot load its seccomp filter: ") + std::strerror(-result);
    return false;
}

}  // namespace

bool enterUnpackSandbox(const UnpackLimits& limits, std::string& error)
{
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        error = std::string("the unpacking sandbox cannot set its process flags: ") + std::strerror(errno);
        return false;
    }
    return limitResources(limits, error) && loadFilter(error);
}
