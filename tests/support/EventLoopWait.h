// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

namespace quelmor::test {

// Generous bound for what another process does for a test: the service, a
// bus daemon, an INDI server and its driver.
constexpr int kEventWaitMs = 30000;

// Polls `condition` until it holds or the time is up, running the thread's Qt
// event loop meanwhile: bus replies, signals and timers of objects under test
// are delivered while it waits.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = kEventWaitMs);

}  // namespace quelmor::test
