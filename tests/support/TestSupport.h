// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ChildProcess.h"

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

// True under CI=true, where the install script has put every test peer in
// place: a missing one is then a failure, not a reason to skip.
bool everyPeerRequired();

}  // namespace quelmor::test

// Skips the test when the program `peer` (curl, ffmpeg, chromium...) is not
// installed, or fails it when everyPeerRequired(). A statement of its own.
#define SKIP_WITHOUT_PEER(peer)                                                                                        \
    switch (0)                                                                                                         \
    case 0:                                                                                                            \
    default:                                                                                                           \
        if (::quelmor::test::isOnPath(peer)) {                                                                         \
        } else if (::quelmor::test::everyPeerRequired())                                                               \
            GTEST_FAIL() << (peer) << " is not installed, and CI=true requires every test peer";                       \
        else                                                                                                           \
            GTEST_SKIP() << (peer) << " is not installed"
