// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>

#include "stretch/PictureBuffer.h"
#include "stretch/PixelType.h"
#include "stretch/RawFrame.h"
#include "stretch/StretchParams.h"

// Renders one planar raw frame into an 8-bit picture with a display stretch,
// and computes stretch parameters from the frame's statistics. A plain value
// object for one frame: build it, set or compute `params`, render, drop it.
//
// Threads: used on one thread at a time (the caller's). render() fans out
// tasks of whole output rows (at least 64 KB of output each) to
// QThreadPool::globalInstance() and returns after all of them; so do the
// parameter computations' sample gathers (see ChannelSample).
class StretchRenderer {
public:
    // inputRange is 256 for 8-bit samples, else 65536; params the identity stretch.
    StretchRenderer(std::int32_t width, std::int32_t height, std::int32_t channels, PixelType pixelType);
    explicit StretchRenderer(const RawFrame& frame);

    // For float and double frames whose every 1000th sample of the first plane
    // is at most 1.01 (NaN ignored), lowers inputRange to 1: the frame is normalised.
    void detectFloatRange(const void* samples);

    // Stretches the frame into `image` with `params`, visiting every `sampling`-th
    // row and column. The image needs the frame's channels, at least
    // ceil(height / sampling) x ceil(width / sampling) in size, and to be
    // writable. Other channel counts, unknown pixel types, a non-positive
    // sampling or an unfit image leave the image untouched.
    void render(const void* samples, const PictureBuffer* image, int sampling);

    // As render, telling `rowsRendered` on the caller's thread, in order, of
    // each group of rows written: its argument is the end (exclusive) of the
    // image rows written so far. The call returns after the last group.
    using RowsRendered = std::function<void(std::int64_t endRow)>;
    void render(const void* samples, const PictureBuffer* image, int sampling, const RowsRendered& rowsRendered);

    // The median rule per channel; channel c goes to record min(c, 2). Unknown
    // pixel types and frames without pixels give the default record.
    StretchParams computeParams(const void* samples, bool excludeFloor);

    // The automatic rule per channel (percentiles for floor-dominated channels,
    // else the median rule above the floor); records as for computeParams.
    StretchParams computeAutoParams(const void* samples);

    std::int32_t width;
    std::int32_t height;
    std::int32_t channels;
    std::int32_t inputRange;
    PixelType pixelType;
    StretchParams params;

private:
    // Runs rule(plane, record) on every channel plane, channel c into record min(c, 2).
    template <typename ChannelRule>
    StretchParams paramsPerChannel(const void* samples, const ChannelRule& rule) const;
};
