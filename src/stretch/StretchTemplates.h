// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QImage>

#include <cstdint>
#include <functional>

#include "stretch/StretchParams.h"

// Render `height` x `width` planar samples into `image`, visiting every
// `sampling`-th row and column: stretchOneChannel writes channel 0 as bytes of
// an 8-bit image (Format_Indexed8), stretchThreeChannels writes planes 0, 1, 2
// as 0xFFRRGGBB words of a 32-bit image (Format_RGB32).
//
// Threads: called on the caller's thread; tasks of consecutive output rows (at
// least 64 KB of output each) run on QThreadPool::globalInstance() and the call
// returns only once every row is written. The image's pixel data is detached on
// the caller's thread before any task starts, and each task writes only its own
// scan lines.
//
// `rowsStretched`, unless empty, is called on the caller's thread with the end
// (exclusive) of the output rows written so far, rising to the last row: so
// the caller can consume rows (encode them) while the tasks write the next.
//
// Nothing is written when sampling < 1, or when the image is not 8 resp. 32 bits
// deep or is smaller than ceil(height / sampling) x ceil(width / sampling).
// Instantiated for uint8_t, uint16_t, int16_t, long, float, long long, double.
using RowsStretched = std::function<void(std::int64_t endRow)>;

template <typename T>
void stretchOneChannel(const T* samples, QImage* image, const StretchParams& params, int inputRange, int height,
    int width, int sampling, const RowsStretched& rowsStretched = {});

template <typename T>
void stretchThreeChannels(const T* samples, QImage* image, const StretchParams& params, int inputRange, int height,
    int width, int sampling, const RowsStretched& rowsStretched = {});
