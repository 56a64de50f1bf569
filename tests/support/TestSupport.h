// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace quelmor::test {

// Generous bound for anything the server does on loopback.
constexpr int kWaitTimeoutMs = 10000;
// The ports of the service: its HTTP server, and the INDI server it connects to.
constexpr int kHttpPort = 8080;
constexpr int kIndiPort = 7624;

// Polls `condition` every few milliseconds until it holds or timeout_ms pass.
inline bool waitFor(const std::function<bool()>& condition, int timeout_ms = kWaitTimeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Milliseconds on the steady clock.
long long nowMs();

// Descriptors open in this process right now.
int openDescriptorCount();

}  // namespace quelmor::test
