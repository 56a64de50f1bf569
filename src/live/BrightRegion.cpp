// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/BrightRegion.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "live/SamplingStep.h"

namespace {

// A sample counts as bright above median + kBrightFraction x (max - median).
constexpr double kBrightFraction = 0.2;
// The box grows by a tenth of its size on each side, at least one grid step.
constexpr std::int64_t kMarginDivisor = 10;

struct Box {
    std::int64_t minX, maxX, minY, maxY;
};

std::vector<std::uint8_t> gridSamples(
    const std::uint8_t* plane, std::int64_t width, std::int64_t height, std::int64_t step)
{
    std::vector<std::uint8_t> samples;
    samples.reserve(static_cast<std::size_t>(((width + step - 1) / step) * ((height + step - 1) / step)));
    for (std::int64_t y = 0; y < height; y += step)
        for (std::int64_t x = 0; x < width; x += step)
            samples.push_back(plane[y * width + x]);
    return samples;
}

// The box of the grid samples brighter than `threshold`; false when there is none.
bool brightBox(
    const std::uint8_t* plane, std::int64_t width, std::int64_t height, std::int64_t step, double threshold, Box& box)
{
    bool found = false;
    for (std::int64_t y = 0; y < height; y += step) {
        for (std::int64_t x = 0; x < width; x += step) {
            if (plane[y * width + x] <= threshold)
                continue;
            if (!found) {
                box = {x, x, y, y};
                found = true;
            }
            box.minX = std::min(box.minX, x);
            box.maxX = std::max(box.maxX, x);
            box.minY = std::min(box.minY, y);
            box.maxY = std::max(box.maxY, y);
        }
    }
    return found;
}

}  // namespace

bool findBrightRegion(const std::uint8_t* plane, std::int32_t width, std::int32_t height, std::int32_t& x0,
    std::int32_t& x1, std::int32_t& y0, std::int32_t& y1)
{
    if (width <= 0 || height <= 0)
        return false;
    const std::int64_t step = samplingStep(static_cast<std::int64_t>(width) * height);
    std::vector<std::uint8_t> samples = gridSamples(plane, width, height, step);
    const std::uint8_t largest = *std::max_element(samples.begin(), samples.end());
    if (largest == 0)
        return false;
    const auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
    std::nth_element(samples.begin(), middle, samples.end());
    const double median = *middle;
    const double threshold = median + kBrightFraction * (largest - median);
    if (largest <= threshold)
        return false;

    Box box{};
    if (!brightBox(plane, width, height, step, threshold, box))
        return false;
    const std::int64_t padX = std::max(step, (box.maxX - box.minX) / kMarginDivisor);
    const std::int64_t padY = std::max(step, (box.maxY - box.minY) / kMarginDivisor);
    const std::int64_t left = std::max<std::int64_t>(1, box.minX - padX);
    const std::int64_t right = std::min<std::int64_t>(width - 2, box.maxX + padX);
    const std::int64_t top = std::max<std::int64_t>(1, box.minY - padY);
    const std::int64_t bottom = std::min<std::int64_t>(height - 2, box.maxY + padY);
    if (left >= right || top >= bottom)
        return false;
    x0 = static_cast<std::int32_t>(left);
    x1 = static_cast<std::int32_t>(right);
    y0 = static_cast<std::int32_t>(top);
    y1 = static_cast<std::int32_t>(bottom);
    return true;
}
