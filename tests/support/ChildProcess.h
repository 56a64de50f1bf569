#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace quelmor::test {

// A program run by a test, such as curl or ffmpeg, with its output thrown
// away. A child still running when the object goes is killed and reaped.
class ChildProcess {
public:
    // Starts `arguments[0]`, looked up on PATH. The child gets
    // inherited_fds[i] as its descriptor 3 + i; each must lie above those
    // targets, so that no copy overwrites a descriptor still to be copied.
    explicit ChildProcess(const std::vector<std::string>& arguments, const std::vector<int>& inherited_fds = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool isStarted() const { return pid_ > 0; }
    bool hasExited();
    // Waits for the exit; false on time-out.
    bool waitForExit(int timeout_ms);
    // The exit code once exited; -1 if it ended by a signal.
    int exitCode() const { return exit_code_; }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int exit_code_ = -1;
};

// True when `program` is found on PATH.
bool isOnPath(const std::string& program);

}  // namespace quelmor::test
