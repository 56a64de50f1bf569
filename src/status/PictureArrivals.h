// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>

// When a picture arrived: on the wall clock, for people (a board's clock may
// be wrong), and on the monotonic clock, for its age and the rate.
struct PictureArrival {
    std::chrono::system_clock::time_point utc;
    std::chrono::steady_clock::time_point monotonic;

    static PictureArrival now() { return {std::chrono::system_clock::now(), std::chrono::steady_clock::now()}; }
};

// The arrivals of the last few pictures: the latest, and the rate over them.
//
// Threads: a plain value; its owner guards it.
class PictureArrivals {
public:
    // The rate is taken over this many pictures: a few seconds of a video
    // stream, the last minutes of long exposures.
    static constexpr std::size_t kRateWindow = 8;

    // Once per arrival: the same one again is not counted.
    void record(const PictureArrival& arrival);
    void clear() { arrivals_.clear(); }
    bool empty() const { return arrivals_.empty(); }
    // The latest arrival; only when not empty.
    const PictureArrival& latest() const { return arrivals_.back(); }
    // Seconds from the latest arrival to `now`; 0 when empty.
    double ageSeconds(std::chrono::steady_clock::time_point now) const;
    // Pictures per second over the window; 0 with fewer than two.
    double fps() const;

private:
    std::deque<PictureArrival> arrivals_;  // oldest first, at most kRateWindow
};
