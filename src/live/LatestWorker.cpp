// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/LatestWorker.h"

#include <malloc.h>

#include <utility>

LatestWorker::LatestWorker() : thread_([this] { run(); }) { }

LatestWorker::~LatestWorker()
{
    stop();
}

void LatestWorker::submit(Task task, AfterTask after)
{
    // A replaced task may hold a picture's bytes: freed after the lock.
    Task replaced;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_)
            return;
        replaced = std::exchange(waiting_, std::move(task));
        returnMemory_ = returnMemory_ || after == AfterTask::ReturnFreedMemory;
    }
    wake_.notify_one();
}

bool LatestWorker::submitUnlessOneWaits(Task task)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || waiting_)
            return false;
        waiting_ = std::move(task);
    }
    wake_.notify_one();
    return true;
}

void LatestWorker::stop()
{
    Task dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        dropped = std::exchange(waiting_, nullptr);
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void LatestWorker::run()
{
    for (;;) {
        Task task;
        bool returnMemory = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || waiting_; });
            if (stopping_)
                return;
            task = std::exchange(waiting_, nullptr);
            returnMemory = std::exchange(returnMemory_, false);
        }
        task();
        task = nullptr;  // frees what it captured first
        if (returnMemory)
            ::malloc_trim(0);
    }
}
