// SPDX-License-Identifier: GPL-3.0-or-later
// The reconnector with a scripted connect step and no INDI server: when it
// tries again, and that stop waits for the step under way.
#include "live/ServerReconnector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Far longer than any wait the reconnector makes by itself.
constexpr milliseconds kEventWait{30000};

// A connect step that answers from a script and notes when each attempt came.
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<bool> answers) : answers_(std::move(answers)) { }

    bool connect()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        attempts_.push_back(Clock::now());
        changed_.notify_all();
        changed_.wait(lock, [this] { return !holding_; });
        const std::size_t index = attempts_.size() - 1;
        return index < answers_.size() && answers_[index];
    }
    // Makes the next attempts wait inside the step until release.
    void hold()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        holding_ = true;
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        holding_ = false;
        changed_.notify_all();
    }
    bool waitForAttempts(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kEventWait, [&] { return attempts_.size() >= count; });
    }
    std::vector<Clock::time_point> attempts()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return attempts_;
    }

private:
    const std::vector<bool> answers_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool holding_ = false;
    std::vector<Clock::time_point> attempts_;
};

ServerReconnector::Steps stepsOf(ScriptedServer& server)
{
    return {[&server] { return server.connect(); }, [] {}};
}

// Four failed attempts grow the delay; a connection made resets it, so the
// attempt after the next loss comes about kFirstDelay later, not kLastDelay.
TEST(ServerReconnector, ConnectionMadeResetsTheDelay)
{
    constexpr auto kFirst = ServerReconnector::kFirstDelay;
    ScriptedServer server({false, false, false, false, true, true});
    ServerReconnector reconnector(stepsOf(server));
    reconnector.begin();
    ASSERT_TRUE(server.waitForAttempts(5));
    // Time for the fifth attempt to return; a loss during it counts the same.
    std::this_thread::sleep_for(kFirst / 5);
    const Clock::time_point lost = Clock::now();
    reconnector.connectionLost();
    ASSERT_TRUE(server.waitForAttempts(6));
    const std::vector<Clock::time_point> attempts = server.attempts();
    EXPECT_LT(attempts[1] - attempts[0], attempts[4] - attempts[3]) << "the delay did not grow while failing";
    const auto delay = attempts[5] - lost;
    EXPECT_GT(delay, kFirst / 2);
    // Halfway to kLastDelay, where a delay never reset would be: loaded sanitizer runs stay well below.
    EXPECT_LT(delay, (kFirst + ServerReconnector::kLastDelay) / 2) << "the delay after a connection was "
                                 << std::chrono::duration_cast<milliseconds>(delay).count() << " ms";
    reconnector.stop();
}

// stop() during a held connect step returns only once the step has ended,
// and no step follows it.
TEST(ServerReconnector, StopWaitsForTheStepUnderWay)
{
    ScriptedServer server({});
    server.hold();
    ServerReconnector reconnector(stepsOf(server));
    reconnector.begin();
    ASSERT_TRUE(server.waitForAttempts(1));
    std::atomic<bool> stopCalled{false}, stepEnded{false}, stoppedBeforeStepEnded{false};
    std::thread stopper([&] {
        stopCalled = true;
        reconnector.stop();
        stoppedBeforeStepEnded = !stepEnded;
    });
    while (!stopCalled)
        std::this_thread::yield();
    // Time for stop() to get as far as it goes while the step is held.
    std::this_thread::sleep_for(ServerReconnector::kFirstDelay / 5);
    stepEnded = true;
    server.release();
    stopper.join();
    EXPECT_FALSE(stoppedBeforeStepEnded) << "stop() returned while the step was under way";
    // Past the delay before a next attempt, had the thread gone on.
    std::this_thread::sleep_for(2 * ServerReconnector::kFirstDelay);
    EXPECT_EQ(server.attempts().size(), 1u) << "a step ran after stop()";
}

}  // namespace
