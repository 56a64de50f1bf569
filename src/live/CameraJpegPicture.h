// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mjpeg/ScalablePicture.h"

#include <QByteArray>

#include <cstdint>
#include <string>

// A JPEG picture as the camera sent it (checked whole by wholeJpeg): sent at
// full size as its own bytes, and reduced while it is decoded (libjpeg's DCT
// scaling, a fraction of a full decode's work), then encoded at
// kStretchedJpegQuality; grey stays grey.
//
// Its size comes from its header, read once when it is made, within
// decodeJpeg's bound; a picture whose header cannot be read or is beyond the
// bound has size 0 and is sent at full size only. Bytes that libjpeg rejects
// give an empty reduced picture.
//
// Threads: made on any thread; encode may then run on any threads at once,
// since the bytes (shared with its maker, implicitly) are only read.
class CameraJpegPicture : public quelmor::ScalablePicture {
public:
    explicit CameraJpegPicture(QByteArray jpeg);

    std::int32_t width() const override;
    std::int32_t height() const override;
    std::string encode(int factor) const override;

private:
    const QByteArray jpeg_;
    std::int32_t width_ = 0;
    std::int32_t height_ = 0;
};
