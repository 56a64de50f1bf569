// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

// Visiting every step-th row and column of an area keeps the samples between
// kSampledArea and four times that, and visits small areas whole.
constexpr double kSampledArea = 200000.0;

inline std::int64_t samplingStep(std::int64_t area)
{
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(std::sqrt(static_cast<double>(area) / kSampledArea)));
}
