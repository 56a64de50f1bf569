// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport.h"

#include <dirent.h>

#include <cstdlib>
#include <cstring>

namespace quelmor::test {

long long nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int openDescriptorCount()
{
    DIR* directory = ::opendir("/proc/self/fd");
    if (!directory)
        return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(directory);
    return count - 1;  // the directory's own descriptor
}

bool everyPeerRequired()
{
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::strcmp(ci, "true") == 0;
}

}  // namespace quelmor::test
