// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/AnalysisWorker.h"

#include <utility>

AnalysisWorker::AnalysisWorker() : thread_([this] { run(); }) { }

AnalysisWorker::~AnalysisWorker()
{
    stop();
}

void AnalysisWorker::submit(Pass pass)
{
    // A replaced pass may hold a picture's bytes: freed after the lock.
    Pass replaced;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_)
            return;
        replaced = std::exchange(waiting_, std::move(pass));
    }
    wake_.notify_one();
}

void AnalysisWorker::stop()
{
    Pass dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        dropped = std::exchange(waiting_, nullptr);
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void AnalysisWorker::run()
{
    for (;;) {
        Pass pass;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || waiting_; });
            if (stopping_)
                return;
            pass = std::exchange(waiting_, nullptr);
        }
        pass();
    }
}
