// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Makes an attempt again and again, `interval` apart, on a thread of its own
// until it succeeds: the live feed's HTTP server retries a taken port this
// way, whether or not pictures arrive meanwhile.
//
// Threads: the owner calls begin, stop and the destructor (the main thread);
// the attempts run on the thread, one at a time. mutex_ (with wake_) guards
// stopping_ and is never held while an attempt runs.
class RepeatedAttempt {
public:
    // `attempt` answers true once nothing is left to do.
    RepeatedAttempt(std::chrono::milliseconds interval, std::function<bool()> attempt);
    ~RepeatedAttempt();
    RepeatedAttempt(const RepeatedAttempt&) = delete;
    RepeatedAttempt& operator=(const RepeatedAttempt&) = delete;

    // Starts the thread, whose first attempt comes one interval later; does
    // nothing when it was started before.
    void begin();
    // Ends the waiting at once, waits for a running attempt and joins the
    // thread. No attempt runs afterwards.
    void stop();

private:
    void run();

    const std::chrono::milliseconds interval_;
    const std::function<bool()> attempt_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;  // guarded by mutex_
    std::thread thread_;
};
