// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace quelmor::test {

// How a ChildProcess is started.
struct ChildOptions {
    // The child gets inherited_fds[i] as its descriptor 3 + i; each must lie
    // above those targets, so that no copy overwrites a descriptor still to be copied.
    std::vector<int> inherited_fds;
    // A process group of its own, killed as a whole: a server's children go with it.
    bool own_process_group = false;
    // Files that take the child's standard output and error; when empty,
    // /dev/null, or with forward_output the test's own.
    std::string output_path;
    std::string error_path;
    bool forward_output = false;
};

// A program run by a test, such as curl, ffmpeg or indiserver, started with
// posix_spawn (QProcess would run code between its fork and exec that
// confuses ThreadSanitizer's view of the parent's locks). A child still
// running when the object goes is killed, with its group if it has one, and
// reaped. Used by one thread.
class ChildProcess {
public:
    // Starts `arguments[0]`, looked up on PATH.
    explicit ChildProcess(const std::vector<std::string>& arguments, const ChildOptions& options = {});
    ~ChildProcess() { kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool isStarted() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    bool hasExited();
    // Waits for the exit; false on time-out.
    bool waitForExit(int timeout_ms);
    // The exit code once exited; -1 if it ended by a signal.
    int exitCode() const { return exit_code_; }

private:
    // Kills the child (or its group) with SIGKILL unless it has exited, and reaps it.
    void kill();
    bool reap(bool wait);

    pid_t pid_ = -1;
    bool own_process_group_ = false;
    bool exited_ = false;
    int exit_code_ = -1;
};

// True when `program` is found on PATH.
bool isOnPath(const std::string& program);

}  // namespace quelmor::test
