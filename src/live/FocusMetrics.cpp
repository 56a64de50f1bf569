// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/FocusMetrics.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "live/BrightRegion.h"
#include "live/SamplingStep.h"

namespace {

constexpr std::int32_t kMinSide = 3;  // pixels: a gradient needs a neighbour on each side
constexpr std::int32_t kGreenPlane = 1;
constexpr double kMinMeanMagnitude = 0.5;

struct MagnitudeSums {
    std::int64_t count = 0;
    double sum = 0.0;
    double sumOfSquares = 0.0;
};

// Central-difference gradient magnitudes on every step-th row and column of
// the inclusive rectangle, which keeps one pixel clear of every border.
MagnitudeSums gradientMagnitudes(
    const std::uint8_t* plane, std::int64_t width, std::int32_t x0, std::int32_t x1, std::int32_t y0, std::int32_t y1)
{
    const std::int64_t area = (static_cast<std::int64_t>(x1) - x0 + 1) * (static_cast<std::int64_t>(y1) - y0 + 1);
    const std::int64_t step = samplingStep(area);
    MagnitudeSums sums;
    for (std::int64_t y = y0; y <= y1; y += step) {
        const std::uint8_t* row = plane + y * width;
        for (std::int64_t x = x0; x <= x1; x += step) {
            const int gx = row[x + 1] - row[x - 1];
            const int gy = row[x + width] - row[x - width];
            const double magnitude = std::sqrt(static_cast<double>(gx * gx + gy * gy));
            ++sums.count;
            sums.sum += magnitude;
            sums.sumOfSquares += magnitude * magnitude;
        }
    }
    return sums;
}

}  // namespace

std::optional<double> measureSharpness(
    const QByteArray& pixels, std::int32_t width, std::int32_t height, std::int32_t channels)
{
    if (width < kMinSide || height < kMinSide || channels < 1)
        return std::nullopt;
    const std::int64_t planeSize = static_cast<std::int64_t>(width) * height;
    if (pixels.size() < planeSize * channels)
        return std::nullopt;
    const std::int64_t planeIndex = channels == 3 ? kGreenPlane : 0;
    const auto* plane = reinterpret_cast<const std::uint8_t*>(pixels.constData()) + planeIndex * planeSize;

    std::int32_t x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    if (!findBrightRegion(plane, width, height, x0, x1, y0, y1))
        return std::nullopt;
    const MagnitudeSums sums = gradientMagnitudes(plane, width, x0, x1, y0, y1);
    if (sums.count == 0)
        return std::nullopt;
    const double count = static_cast<double>(sums.count);
    const double mean = sums.sum / count;
    if (mean < kMinMeanMagnitude)
        return std::nullopt;
    const double sharpness = (sums.sumOfSquares / count - mean * mean) / mean;
    if (sharpness < 0.0)
        return std::nullopt;
    return sharpness;
}

void FocusHistory::record(double sharpness)
{
    sharpnessHistory_.push_back(sharpness);
    while (sharpnessHistory_.size() > kCapacity)
        sharpnessHistory_.pop_front();
    std::vector<double> sorted(sharpnessHistory_.begin(), sharpnessHistory_.end());
    std::sort(sorted.begin(), sorted.end());
    reading_ = FocusReading{sharpness, sorted.front(), sorted.back(), sorted[sorted.size() / 2]};
}

std::optional<FocusReading> FocusHistory::reading() const
{
    if (sharpnessHistory_.empty())
        return std::nullopt;
    return reading_;
}
