// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include "stretch/PictureBuffer.h"

#include <cstdint>

// Encodes the 8-bit pictures that the stretch renders as baseline JPEG with
// libjpeg straight from their rows: colour as YCbCr with 2 x 2 chroma
// subsampling, grey as one grey component. The settings are those of Qt's
// JPEG writer for a picture made without a screen (100 dots per inch,
// baseline quantisation tables, no optimised Huffman tables), so the bytes
// are those that the service sent when Qt encoded its pictures.
//
// Threads: reentrant; the SER player calls it on the main thread, the live
// pipeline on the INDI receiving thread.

// libjpeg takes at most this many pixels a side (the format itself 65535).
constexpr std::int32_t kMaxJpegSidePixels = 65500;

// Replaces `jpeg` with the picture at `quality` (1 to 100). False, with
// `jpeg` left as it was, for a picture without pixels, larger than
// kMaxJpegSidePixels a side, or when memory runs out.
bool encodePictureJpeg(const PictureBuffer& picture, int quality, QByteArray& jpeg);
