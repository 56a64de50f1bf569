// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "live/CameraFrame.h"
#include "stretch/PictureBuffer.h"
#include "stretch/StretchParams.h"

#include <QByteArray>

#include <cstdint>

// How the live feed shows decoded camera frames (FITS, raw video) and what it
// analyses of them.
//
// Threads: reentrant; the statistics, the stretch and the copy into planes
// spread their rows over the global thread pool, and the calling thread
// encodes the rows stretched while the pool stretches the next.

// The quality of every JPEG the live feed encodes itself, stretched or reduced:
// what Qt's image writer gave stretched pictures when none was named.
constexpr int kStretchedJpegQuality = 75;

// The 8-bit picture the stretch renders a frame of this geometry into.
// `picture` is kept when it fits already and is writable, since fresh pages
// for every picture cost the stretch about as much as its own work. Null
// when memory runs out.
void prepareOutputImage(PictureBuffer& picture, std::int32_t width, std::int32_t height, std::int32_t channels);

// Renders `frame` into `picture`: with `stretch` when one is set; without,
// 8-bit frames as they are and deeper ones with the automatic stretch of their
// own samples, as a FITS viewer shows them. An 8-bit grey frame shown as it
// is becomes a picture over its samples, which it keeps. False when the frame
// cannot be rendered.
bool renderFramePicture(const CameraFrame& frame, const StretchParams* stretch, PictureBuffer& picture);
// The same, and encodes the picture at `quality` into `jpeg` as its rows are
// rendered. False when the frame cannot be rendered or encoded.
bool renderFrameJpeg(
    const CameraFrame& frame, const StretchParams* stretch, PictureBuffer& picture, int quality, QByteArray& jpeg);

// The frame as 8-bit planes for the histogram and the focus metrics: 8-bit
// frames as they are (shared, not copied), deeper ones as the automatic
// stretch shows them. False when the picture cannot be made.
bool analysisPlanes(const CameraFrame& frame, QByteArray& planes);

// The 8-bit planes of a picture from renderFrameJpeg: grey rows without their
// padding, colour pixels spread over red, green and blue. False when memory is short.
bool planesOfPicture(const PictureBuffer& picture, QByteArray& planes);
