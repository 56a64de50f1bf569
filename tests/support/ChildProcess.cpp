// SPDX-License-Identifier: GPL-3.0-or-later
#include "ChildProcess.h"

#include "TestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <utility>

extern char** environ;

namespace quelmor::test {

namespace {

const char* orNull(const std::string& path)
{
    return path.empty() ? "/dev/null" : path.c_str();
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const ChildOptions& options)
    : own_process_group_(options.own_process_group)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const std::pair<int, const std::string&> outputs[] = {
        {STDOUT_FILENO, options.output_path}, {STDERR_FILENO, options.error_path}};
    for (const auto& [fd, path] : outputs) {
        if (!path.empty() || !options.forward_output)
            posix_spawn_file_actions_addopen(&actions, fd, orNull(path), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    for (std::size_t i = 0; i < options.inherited_fds.size(); ++i)
        posix_spawn_file_actions_adddup2(&actions, options.inherited_fds[i], 3 + static_cast<int>(i));
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (own_process_group_) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    if (posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), environ) != 0)
        pid_ = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
}

bool ChildProcess::reap(bool wait)
{
    if (exited_ || pid_ <= 0)
        return exited_;
    int status = 0;
    if (::waitpid(pid_, &status, wait ? 0 : WNOHANG) == pid_) {
        exited_ = true;
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return exited_;
}

bool ChildProcess::hasExited()
{
    return reap(false);
}

bool ChildProcess::waitForExit(int timeout_ms)
{
    return waitFor([this] { return hasExited(); }, timeout_ms);
}

void ChildProcess::kill()
{
    if (pid_ <= 0 || hasExited())
        return;
    ::kill(own_process_group_ ? -pid_ : pid_, SIGKILL);
    reap(true);
}

bool isOnPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::istringstream directories(path ? path : "");
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        if (::access((directory + "/" + program).c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

}  // namespace quelmor::test
