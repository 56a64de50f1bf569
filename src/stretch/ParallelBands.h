// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>

// Runs body(begin, end) over consecutive bands that cover [0, count), one band
// per thread of QThreadPool::globalInstance() but none smaller than
// minBandItems (so small counts stay on one thread): the first band on the
// caller's thread, the others as pool tasks. Returns after every band.
//
// Threads: bands run at the same time and must write apart; what the caller
// reads after the call, every band wrote before it returned.
void runInBands(std::int64_t count, std::int64_t minBandItems,
    const std::function<void(std::int64_t begin, std::int64_t end)>& body);
