// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mjpeg/ScalablePicture.h"
#include "stretch/PictureBuffer.h"

#include <cstdint>
#include <string>

// A picture that the stretch rendered, sent at full size as encodePictureJpeg
// encodes it, and reduced by averaging its 8-bit pixels before encoding at
// the same quality.
//
// Threads: made on any thread; encode may then run on any threads at once,
// since the picture (its pixels shared with its maker) is only read.
class RenderedPicture : public quelmor::ScalablePicture {
public:
    // `picture` is shared, not copied: its maker writes to it no more while
    // this object holds it. `quality` is 1 to 100.
    RenderedPicture(PictureBuffer picture, int quality);

    std::int32_t width() const override;
    std::int32_t height() const override;
    std::string encode(int factor) const override;

private:
    const PictureBuffer picture_;
    const int quality_;
};
