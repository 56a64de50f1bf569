// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mjpeg/ScalablePicture.h"

#include <QImage>

#include <cstdint>
#include <string>

// A picture that the stretch rendered (a format reducePicture takes), sent at
// full size as encodePictureJpeg encodes it, and reduced by averaging its
// 8-bit pixels before encoding at the same quality.
//
// Threads: made on any thread; encode may then run on any threads at once,
// since the picture (shared with its maker, implicitly) is only read.
class RenderedPicture : public quelmor::ScalablePicture {
public:
    // `picture` is shared, not copied: a copy written to later detaches
    // (copying the pixels), so only pixels borrowed from elsewhere (a QImage
    // over outside memory) must stay as they are. `quality` is 1 to 100.
    RenderedPicture(QImage picture, int quality);

    std::int32_t width() const override;
    std::int32_t height() const override;
    std::string encode(int factor) const override;

private:
    const QImage picture_;
    const int quality_;
};
