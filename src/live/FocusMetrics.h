// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

// The sharpness of one analysis frame (planar 8-bit, 1 or 3 channels): the
// variance of the gradient magnitude over its bright region divided by the
// mean magnitude, measured on the green plane of colour frames. Nothing for
// frames under 3 x 3, frames without a bright region, regions so smooth that
// the mean magnitude is below 0.5, or pixel data shorter than the geometry.
// Reentrant: the live client calls it on a private copy, without its lock.
std::optional<double> measureSharpness(
    const QByteArray& pixels, std::int32_t width, std::int32_t height, std::int32_t channels);

// What focusMetrics reports: the newest value and the spread of recent ones.
struct FocusReading {
    double sharpness = 0.0;
    double min = 0.0;
    double max = 0.0;
    double median = 0.0;  // element count / 2 of the sorted values: the upper middle one
};

// The newest sharpness values, at most kCapacity of them, and the reading
// derived from them. Not thread-safe: the live client keeps it under its
// frame mutex.
class FocusHistory {
public:
    static constexpr std::size_t kCapacity = 300;

    // Appends a value, drops the oldest beyond kCapacity and recomputes the reading.
    void record(double sharpness);
    // The reading once a value has been recorded; nothing before.
    std::optional<FocusReading> reading() const;
    std::size_t size() const { return sharpnessHistory_.size(); }

private:
    std::deque<double> sharpnessHistory_;
    FocusReading reading_;
};
