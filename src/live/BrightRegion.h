// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

// Finds the bright part of one 8-bit plane (rows of `width` bytes) on a
// sampling grid of step max(1, trunc(sqrt(width x height / 200000))): the
// box of the grid samples brighter than median + 0.2 x (max - median), widened
// by a tenth of its size (at least one step) and kept one pixel inside the
// border, so 1 <= x0 < x1 <= width - 2 and 1 <= y0 < y1 <= height - 2.
// False, with the outputs untouched, for black or flat planes and boxes that
// collapse. Reentrant.
bool findBrightRegion(const std::uint8_t* plane, std::int32_t width, std::int32_t height, std::int32_t& x0,
    std::int32_t& x1, std::int32_t& y0, std::int32_t& y1);
