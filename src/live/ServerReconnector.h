// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

// Keeps the live feed connected to its INDI server, on a thread of its own
// from the first attempt on, which comes at once: a server that takes no
// connection holds an attempt for seconds, and the owner's caller is the bus.
// While the connection is down it tries again, the delay growing from
// kFirstDelay to kLastDelay and back to kFirstDelay once a connection was
// made; and kDeviceWait after each connection it asks its owner once to
// check that the camera turned up.
//
// Threads: the owner calls begin, stop and the destructor (the main thread);
// connectionLost may come from any thread (the INDI receiving thread). The
// steps run on the reconnector's thread, never two at a time. mutex_ (with
// wake_) guards the flags and is never held while a step runs.
class ServerReconnector {
public:
    static constexpr std::chrono::milliseconds kFirstDelay{500};
    static constexpr std::chrono::milliseconds kLastDelay{5000};
    static constexpr std::chrono::milliseconds kDeviceWait{5000};

    struct Steps {
        std::function<bool()> connect;  // one attempt; true once connected
        std::function<void()> checkDevice;
    };

    explicit ServerReconnector(Steps steps);
    ~ServerReconnector();
    ServerReconnector(const ServerReconnector&) = delete;
    ServerReconnector& operator=(const ServerReconnector&) = delete;

    // Starts the thread, which makes the first attempt at once.
    void begin();
    // The connection ended: reconnect, after kFirstDelay. True when it was
    // up until now.
    bool connectionLost();
    // Ends any waiting or retrying at once, waits for a running step and joins
    // the thread. No step runs afterwards.
    void stop();

private:
    using Clock = std::chrono::steady_clock;

    void run();
    // Waits up to `delay`, or until stop; false once stopping.
    bool pause(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds delay);

    const Steps steps_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool connected_ = false;    // guarded by mutex_
    bool stopping_ = false;     // guarded by mutex_
    std::uint64_t losses_ = 0;  // connections ended; guarded by mutex_
    std::thread thread_;
};
