// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/RepeatedAttempt.h"

#include <utility>

RepeatedAttempt::RepeatedAttempt(std::chrono::milliseconds interval, std::function<bool()> attempt)
    : interval_(interval), attempt_(std::move(attempt))
{
}

RepeatedAttempt::~RepeatedAttempt()
{
    stop();
}

void RepeatedAttempt::begin()
{
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
}

void RepeatedAttempt::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void RepeatedAttempt::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, interval_, [this] { return stopping_; })) {
        lock.unlock();
        const bool done = attempt_();
        lock.lock();
        if (done)
            return;
    }
}
