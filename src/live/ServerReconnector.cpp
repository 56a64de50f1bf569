// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/ServerReconnector.h"

#include <algorithm>
#include <utility>

ServerReconnector::ServerReconnector(Steps steps) : steps_(std::move(steps)) { }

ServerReconnector::~ServerReconnector()
{
    stop();
}

void ServerReconnector::begin()
{
    thread_ = std::thread([this] { run(); });
}

bool ServerReconnector::connectionLost()
{
    bool wasConnected = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wasConnected = std::exchange(connected_, false);
        ++losses_;
    }
    wake_.notify_one();
    return wasConnected;
}

void ServerReconnector::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

bool ServerReconnector::pause(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds delay)
{
    return !wake_.wait_for(lock, delay, [this] { return stopping_; });
}

void ServerReconnector::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    std::chrono::milliseconds delay{0};  // the first attempt at once
    bool deviceCheckDue = false;
    Clock::time_point deviceDue = Clock::now() + kDeviceWait;
    const auto downOrStopping = [this] { return stopping_ || !connected_; };
    while (!stopping_) {
        if (!connected_) {
            if (!pause(lock, delay))
                return;
            const std::uint64_t lossesBefore = losses_;
            lock.unlock();
            const bool connected = steps_.connect();
            lock.lock();
            // A connection that ended while it was being made is down.
            connected_ = connected && losses_ == lossesBefore;
            delay = connected ? kFirstDelay : std::clamp(2 * delay, kFirstDelay, kLastDelay);
            deviceCheckDue = connected;
            deviceDue = Clock::now() + kDeviceWait;
        } else if (!deviceCheckDue) {
            wake_.wait(lock, downOrStopping);
        } else if (!wake_.wait_until(lock, deviceDue, downOrStopping)) {
            deviceCheckDue = false;
            lock.unlock();
            steps_.checkDevice();
            lock.lock();
        }
    }
}
