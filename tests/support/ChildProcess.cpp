#include "ChildProcess.h"

#include "TestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

extern char** environ;

namespace quelmor::test {

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const std::vector<int>& inherited_fds)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    for (std::size_t i = 0; i < inherited_fds.size(); ++i)
        posix_spawn_file_actions_adddup2(&actions, inherited_fds[i], 3 + static_cast<int>(i));
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess()
{
    if (pid_ > 0 && !hasExited()) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool ChildProcess::hasExited()
{
    if (exited_ || pid_ <= 0)
        return exited_;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return exited_;
}

bool ChildProcess::waitForExit(int timeout_ms)
{
    return waitFor([this] { return hasExited(); }, timeout_ms);
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
