// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

#include <cstdint>

// The histogram picture of an analysis frame (planar 8-bit, 1 or 3 channels):
// 300 x 100, black, one log-scaled curve per channel (white for grey; red,
// green, blue for colour), counted over the frame's bright region when one is
// found and over the whole frame otherwise; JPEG at quality 100 into `jpeg`.
// False, with `jpeg` untouched, for empty geometry, other channel counts,
// pixel data shorter than the geometry, or nothing counted.
// Reentrant: runs on the INDI receiving thread on a private copy of the frame.
bool renderHistogram(
    const QByteArray& pixels, std::int32_t width, std::int32_t height, std::int32_t channels, QByteArray& jpeg);

// Every how many columns a region of `area` pixels is counted: area / 50000
// rounded up above 50000 pixels, else 1.
std::int32_t histogramColumnStep(std::int32_t area);
