// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "stretch/PixelType.h"
#include "stretch/RawFrame.h"

#include <QByteArray>

#include <cstdint>

// A camera picture decoded to planar samples that it owns: channel c is a
// gap-free plane of width x height samples of pixelType, in native byte order,
// starting at sample c x width x height. Channels are 1 (grey) or 3 (red,
// green, blue); mosaics have been demosaiced already.
struct CameraFrame {
    QByteArray samples;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t channels = 0;
    PixelType pixelType = PixelType::UInt8;

    RawFrame view() const { return {samples.constData(), width, height, channels, pixelType}; }
};
