// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "live/CameraFrame.h"

#include <QString>

#include <cstdint>

// Decodes a FITS file held in memory, plain or tile-compressed (fpack's
// ".fz"), with cfitsio: the first HDU that holds an image, 2-dimensional
// (grey) or with a third axis of 1 (grey) or 3 (red, green, blue planes), of
// any BITPIX, scaled by BZERO and BSCALE into the narrowest PixelType that
// holds its values. A grey 8- or 16-bit image with a BAYERPAT keyword is
// demosaiced (XBAYROFF and YBAYROFF shift the pattern).
//
// The image's size is bounded from the header before anything of it is
// allocated (see cameraFrameSizeAllowed); the file must be whole 2880-byte
// blocks, as the standard has it, and an uncompressed image must lie inside
// `bytes`. False, with a one-line reason in `error`, for anything else.
//
// The tiles of a compressed image are decompressed by cfitsio itself, whose
// 4.2 decompressors are not safe on corrupt tiles: a bad Rice tile can make it
// read past its bytes, a bad GZIP tile can keep it looping. So only Rice
// tiles (what INDI's drivers write) are read, and only the frame size, the
// tile table's place in the bytes and the tile sizes are checked first.
//
// Threads: reentrant (Debian's cfitsio is built reentrant: fits_is_reentrant()
// answers 1), so pictures decode on worker threads.
bool decodeFits(const char* bytes, std::int64_t length, CameraFrame& frame, QString& error);
