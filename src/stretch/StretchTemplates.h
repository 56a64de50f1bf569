// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>

#include "stretch/PictureBuffer.h"
#include "stretch/StretchParams.h"

// Render `height` x `width` planar samples into `image`, visiting every
// `sampling`-th row and column: stretchOneChannel writes channel 0 as bytes of
// a grey picture, stretchThreeChannels writes planes 0, 1, 2 as the pixel
// words of a colour picture.
//
// Threads: called on the caller's thread; tasks of consecutive output rows (at
// least 64 KB of output each) run on QThreadPool::globalInstance() and the call
// returns only once every row is written. Each task writes only its own rows.
//
// `rowsStretched`, unless empty, is called on the caller's thread with the end
// (exclusive) of the output rows written so far, rising to the last row: so
// the caller can consume rows (encode them) while the tasks write the next.
//
// Nothing is written when sampling < 1, or when the image is not writable, of
// other channels, or smaller than ceil(height / sampling) x ceil(width / sampling).
// Instantiated for uint8_t, uint16_t, int16_t, long, float, long long, double.
using RowsStretched = std::function<void(std::int64_t endRow)>;

template <typename T>
void stretchOneChannel(const T* samples, const PictureBuffer* image, const StretchParams& params, int inputRange,
    int height, int width, int sampling, const RowsStretched& rowsStretched = {});

template <typename T>
void stretchThreeChannels(const T* samples, const PictureBuffer* image, const StretchParams& params, int inputRange,
    int height, int width, int sampling, const RowsStretched& rowsStretched = {});
