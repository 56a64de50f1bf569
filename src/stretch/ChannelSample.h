// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <utility>
#include <vector>

#include "stretch/ParallelBands.h"

// The bounded sample of one channel plane that the automatic stretch measures:
// with n = width x height, every step-th sample (step = 1 below the budget,
// else floor(n / budget)), count = floor(n / step) of them, and the floor, the
// minimum over the indices 0, step, 2 x step, ... below n (which may visit one
// index more than the sample set). A frame without pixels (width or height
// below 1) has no samples and floor 0.
// Not thread-safe; a private working object of one computation, whose
// gather runs in bands on the global thread pool (see runInBands).
template <typename T>
class ChannelSample {
public:
    static constexpr std::int64_t kSampleBudget = 500000;
    // Fewer samples are gathered on one thread: a pool task costs more than they take.
    static constexpr std::int64_t kMinBandSamples = 65536;

    // The step for a plane of n samples; callers that gather the sample set
    // themselves (a frame made in bands) take every step-th sample, n / step of them.
    static std::int64_t stepFor(std::int64_t n) { return n < kSampleBudget ? 1 : n / kSampleBudget; }

    ChannelSample(const T* plane, int height, int width)
    {
        if (width < 1 || height < 1) {
            return;
        }
        const std::int64_t n = static_cast<std::int64_t>(width) * height;
        step_ = stepFor(n);
        const std::int64_t count = n / step_;
        samples_.resize(static_cast<std::size_t>(count));
        // The gather reads the whole plane's memory: a band per pool thread.
        // Each band starts from plane[0], as one pass does, and the bands'
        // floors are taken in order, so the first of equal minima (and a NaN
        // at plane[0]) win as in one pass.
        // Bands are at least kMinBandSamples long: begin / kMinBandSamples numbers them in order.
        std::vector<T> bandFloors(static_cast<std::size_t>(count / kMinBandSamples + 1), plane[0]);
        T* const gathered = samples_.data();
        const std::int64_t step = step_;
        runInBands(count, kMinBandSamples, [&](std::int64_t begin, std::int64_t end) {
            T floor = plane[0];
            for (std::int64_t i = begin; i < end; ++i) {
                const T value = plane[i * step];
                gathered[i] = value;
                if (value < floor) {
                    floor = value;
                }
            }
            bandFloors[static_cast<std::size_t>(begin / kMinBandSamples)] = floor;
        });
        floor_ = plane[0];
        for (const T floor : bandFloors) {
            lowerFloor(floor);
        }
        // When step does not divide n, one more index lies below n.
        const std::int64_t lastIndex = count * step_;
        if (lastIndex < n) {
            lowerFloor(plane[lastIndex]);
        }
    }

    std::int64_t step() const { return step_; }
    std::size_t count() const { return samples_.size(); }
    T floor() const { return floor_; }
    const std::vector<T>& samples() const { return samples_; }

    // Members strictly above the floor, in sample order.
    std::vector<T> aboveFloor() const
    {
        std::vector<T> above;
        above.reserve(samples_.size());
        std::copy_if(
            samples_.begin(), samples_.end(), std::back_inserter(above), [this](T value) { return value > floor_; });
        return above;
    }

    std::size_t countAtFloor() const
    {
        return static_cast<std::size_t>(std::count(samples_.begin(), samples_.end(), floor_));
    }

    // Hands the sample set over, leaving this object without samples.
    std::vector<T> takeSamples() { return std::move(samples_); }

private:
    void lowerFloor(T value)
    {
        if (value < floor_) {
            floor_ = value;
        }
    }

    std::int64_t step_ = 1;
    T floor_ = T{};
    std::vector<T> samples_;
};
