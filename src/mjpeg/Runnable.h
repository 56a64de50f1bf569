// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstdint>

namespace quelmor::utils {

enum class RunState : std::int32_t {
    created = 1,   // constructed, never run
    starting = 2,  // the run has begun but is not serving yet
    running = 3,   // serving
    stopping = 4,  // closing its sockets or threads
    stopped = 5,   // ended
};

// Run state shared by the listener and the publisher. Written by the thread
// that runs the object, read by its owner's thread, hence atomic.
class Runnable {
public:
    bool isAlive() const { return state() == RunState::running; }
    RunState state() const { return state_.load(); }

protected:
    Runnable() = default;
    ~Runnable() = default;
    void setState(RunState state) { state_.store(state); }

private:
    std::atomic<RunState> state_{RunState::created};
};

}  // namespace quelmor::utils
