// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Runs tasks one at a time on a thread of its own, keeping only the newest:
// at most one task waits, and a task handed over while another runs replaces
// the waiting one, so the worker takes the newest when it is free and nothing
// piles up. The live feed runs its pictures on one and its analysis passes on
// another, so that neither holds back the INDI receiving thread or the other.
//
// A task can ask that, once it and what it captured are gone, the memory the
// allocator keeps of what was freed is given back to the system: glibc keeps
// freed pages of large pictures in its per-thread arenas, and after FITS loops
// and reconnections that grows in steps that never fall back. A replaced
// task's request passes to the task that replaces it.
//
// Threads: the thread starts with the object. Producers on any thread call
// submit and submitUnlessOneWaits; the owner calls stop and the destructor. mutex_ (with wake_) guards waiting_,
// returnMemory_ and stopping_; it is held only to swap them, never while a
// task runs, and taken with no other lock held inside it.
class LatestWorker {
public:
    using Task = std::function<void()>;
    enum class AfterTask { Nothing, ReturnFreedMemory };

    LatestWorker();
    ~LatestWorker();
    LatestWorker(const LatestWorker&) = delete;
    LatestWorker& operator=(const LatestWorker&) = delete;

    // Hands `task` to the worker, replacing (dropping) a task that still
    // waits. Dropped itself once stop has begun.
    void submit(Task task, AfterTask after = AfterTask::Nothing);
    // Hands `task` to the worker unless a task waits already, which is then
    // left to run instead: for a task that redoes what the waiting one does
    // anyway. False when it was not handed over.
    bool submitUnlessOneWaits(Task task);
    // Drops the waiting task, waits for the running one and joins the thread.
    // The owner makes the running task end soon (the client cancels its
    // picture work first).
    void stop();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    Task waiting_;               // guarded by mutex_
    bool returnMemory_ = false;  // guarded by mutex_
    bool stopping_ = false;      // guarded by mutex_
    std::thread thread_;         // last: starts once the members above exist
};
