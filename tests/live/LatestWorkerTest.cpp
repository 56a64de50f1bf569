// SPDX-License-Identifier: GPL-3.0-or-later
// The worker behind the live feed's pictures and analysis passes keeps only
// the newest task: what waits behind a running task is replaced, not queued.
#include "live/LatestWorker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace {

constexpr auto kWait = std::chrono::seconds(10);
constexpr int kTasksWhileBusy = 5;

// Task 0 holds the worker until released; tasks 1 to 5 are handed over
// meanwhile. Only the newest of them runs, after task 0, and each one it
// replaced is dropped at once, with what it holds.
TEST(LatestWorker, RunsOnlyTheNewestOfTheTasksHandedOverWhileBusy)
{
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    std::vector<int> ran;  // guarded by mutex
    std::vector<std::weak_ptr<int>> held;
    LatestWorker worker;
    const auto task = [&](int number) {
        auto payload = std::make_shared<int>(number);
        held.push_back(payload);
        return [&, number, payload] {
            std::unique_lock<std::mutex> lock(mutex);
            ran.push_back(number);
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
        };
    };

    worker.submit(task(0));
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, kWait, [&] { return !ran.empty(); })) << "task 0 never ran";
    }
    for (int number = 1; number <= kTasksWhileBusy; ++number)
        worker.submit(task(number));
    for (int number = 1; number < kTasksWhileBusy; ++number)
        EXPECT_TRUE(held[number].expired()) << "task " << number << " still held after a newer one came";
    EXPECT_FALSE(held[kTasksWhileBusy].expired()) << "the newest task was dropped";
    // A task that would only redo the waiting one's work is not handed over then.
    EXPECT_FALSE(worker.submitUnlessOneWaits(task(kTasksWhileBusy + 1))) << "replaced the waiting task";

    std::unique_lock<std::mutex> lock(mutex);
    released = true;
    changed.notify_all();
    EXPECT_TRUE(changed.wait_for(lock, kWait, [&] { return ran.size() >= 2; })) << "nothing ran after task 0";
    lock.unlock();
    // With none waiting, it is.
    EXPECT_TRUE(worker.submitUnlessOneWaits(task(kTasksWhileBusy + 2)));
    lock.lock();
    EXPECT_TRUE(changed.wait_for(lock, kWait, [&] { return ran.size() >= 3; })) << "an idle worker refused a task";
    lock.unlock();
    worker.stop();
    EXPECT_EQ(ran, (std::vector<int>{0, kTasksWhileBusy, kTasksWhileBusy + 2}));
}

}  // namespace
