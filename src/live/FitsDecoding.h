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
// allocated (see cameraFrameSizeAllowed); the file is its whole 2880-byte
// blocks (bytes after them, as some cameras send, are ignored), and the image
// must lie inside them. False, with a one-line reason in `error`, for anything
// else.
//
// A plain image is read by cfitsio in this process. A file with a ZIMAGE card
// (only those can make cfitsio decompress tiles) is first read by our own
// header parser (inspectFitsImage), which refuses any keyword cfitsio could
// not act on safely, and then decoded by FitsUnpacker in sandboxed processes:
// cfitsio 4.2's decompressors are not safe on corrupt tiles. Only Rice tiles
// (what INDI's drivers write) are read.
//
// Threads: reentrant (Debian's cfitsio is built reentrant: fits_is_reentrant()
// answers 1), so pictures decode on worker threads; a compressed image blocks
// its thread for at most the unpacking deadline.
bool decodeFits(const char* bytes, std::int64_t length, CameraFrame& frame, QString& error);
