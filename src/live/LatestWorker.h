// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Runs the live feed's analysis passes one at a time on a thread of its own,
// so that a slow pass never holds back a picture. At most one pass waits: a
// pass handed over while another runs replaces the waiting one, so the worker
// takes the newest when it is free and nothing piles up.
//
// Threads: the thread starts with the object. One producer calls submit (the
// INDI receiving thread); the owner calls stop and the destructor. mutex_
// (with wake_) guards waiting_ and stopping_; it is held only to swap them,
// never while a pass runs, and taken with no other lock held inside it.
class AnalysisWorker {
public:
    using Pass = std::function<void()>;

    AnalysisWorker();
    ~AnalysisWorker();
    AnalysisWorker(const AnalysisWorker&) = delete;
    AnalysisWorker& operator=(const AnalysisWorker&) = delete;

    // Hands `pass` to the worker, replacing a pass that still waits. Dropped
    // once stop has begun.
    void submit(Pass pass);
    // Drops the waiting pass, waits for the running one and joins the thread.
    // The owner makes the running pass end soon (the client cancels its
    // picture work first).
    void stop();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    Pass waiting_;           // guarded by mutex_
    bool stopping_ = false;  // guarded by mutex_
    std::thread thread_;     // last: starts once the members above exist
};
