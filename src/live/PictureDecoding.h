// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "live/CameraFrame.h"
#include "stretch/BayerDemosaic.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <string>

// Turns what a camera sends on its "CCD1" BLOB into planar samples, deciding
// by the BLOB's format string and checking the bytes against it.
//
// Threads: reentrant; the live client calls it on its picture worker.

// What a format string names.
enum class PictureFormat {
    Jpeg,       // ".jpg", ".jpeg", ".stream_jpg": decoded by FrameDecoding
    Fits,       // ".fits", ".fit", ".fts", each also with ".fz" after it
    RawStream,  // ".stream": the raw video encoder, geometry from the camera's properties
    Unknown,    // anything else (".xisf", a camera's native raw, ...)
};

struct PictureFormatName {
    PictureFormat format = PictureFormat::Unknown;
    // The name ended in ".z": zlib-deflated bytes of the format before it.
    bool deflated = false;
};

// Case-insensitive; a trailing ".z" is taken off first.
PictureFormatName classifyPictureFormat(const std::string& format);

// Frames of more pixels are refused before any allocation of their size: full-frame
// sensors (61 Mpx) fit.
constexpr std::int64_t kMaxCameraFramePixels = std::int64_t(1) << 26;

// Deflated pictures inflate to at most what the largest legal picture of
// their format can hold, so that a small BLOB cannot cost gigabytes first:
// - a FITS file: the largest frame of the widest samples (8 bytes) in colour,
//   plus this much room for its header;
constexpr std::int64_t kFitsHeaderRoomBytes = std::int64_t(1) << 20;
constexpr std::int64_t kMaxInflatedFitsBytes = kMaxCameraFramePixels * 8 * 3 + kFitsHeaderRoomBytes;
// - a JPEG: the 8-bit colour samples of the largest frame (192 MiB); cameras'
//   JPEGs take a tenth of their samples or less, only colour noise at quality
//   100 takes more (1.37 bytes a sample with libjpeg);
constexpr std::int64_t kMaxInflatedJpegBytes = kMaxCameraFramePixels * 3;
// - a raw stream frame: exactly the largest layout its geometry allows (see
//   inflatedBytesAllowed).

// What the camera's properties say about its raw video frames, read when the
// frame arrived. Width and height 0 when the camera has no CCD_STREAM_FRAME.
struct StreamGeometry {
    std::int32_t width = 0;   // CCD_STREAM_FRAME.WIDTH
    std::int32_t height = 0;  // CCD_STREAM_FRAME.HEIGHT
    std::int32_t binX = 1;    // CCD_BINNING.HOR_BIN
    std::int32_t binY = 1;    // CCD_BINNING.VER_BIN
    // CCD_CFA.CFA_TYPE ("RGGB", "GRBG", "GBRG", "BGGR"); empty when the
    // camera publishes no CCD_CFA: the frame is then grey.
    std::string cfaType;
    std::int32_t cfaOffsetX = 0;  // CCD_CFA.CFA_OFFSET_X
    std::int32_t cfaOffsetY = 0;  // CCD_CFA.CFA_OFFSET_Y
};

// Inflates zlib-deflated `bytes` into `inflated`; false, with a reason in
// `error`, for bytes that are not a whole zlib stream or that inflate to more
// than `maxBytes` (the output never grows past it).
bool inflateBounded(
    const char* bytes, std::int64_t length, std::int64_t maxBytes, QByteArray& inflated, QString& error);

// The most bytes a deflated picture of `format` may inflate to: the bounds
// above; for a raw stream frame, the largest of 8-bit grey, 16-bit grey and
// 8-bit RGB at the sizes its geometry allows. 0, with the reason in `error`,
// for a geometry that allows no frame (a side below 1 or above
// kMaxJpegSidePixels, more than kMaxCameraFramePixels pixels) or an unknown format.
std::int64_t inflatedBytesAllowed(PictureFormat format, const StreamGeometry& geometry, QString& error);

// Decodes a FITS or raw stream picture (not JPEG: `format` must be Fits or
// RawStream, deflated or not) into `frame`. False, with a one-line reason in
// `error` and `frame` unspecified, for bytes that do not match their format,
// a geometry beyond kMaxCameraFramePixels, a header claiming more bytes than
// there are, or memory that runs out. Nothing of a refused picture's claimed
// size is allocated; deflated bytes inflate within inflatedBytesAllowed, and
// the inflated bytes are gone when this returns (a raw frame's become its
// samples where they can).
bool decodeCameraPicture(PictureFormatName format, const char* bytes, std::int64_t length,
    const StreamGeometry& geometry, CameraFrame& frame, QString& error);

// The JPEG a JPEG picture (`format` Jpeg) holds, to be published as it is:
// `bytes` themselves (shared, not copied), or what they inflate to within
// kMaxInflatedJpegBytes. False, with the reason in `error`, unless it starts
// with the start-of-image marker (FF D8) and ends with the end-of-image
// marker (FF D9), zero bytes after it allowed as padding: whatever else a
// camera sends as a JPEG never leaves as one.
bool wholeJpeg(PictureFormatName format, const QByteArray& bytes, QByteArray& jpeg, QString& error);

// The decoders' shared steps.

// Whether a frame of width x height pixels may be decoded: each side 1 to
// kMaxJpegSidePixels, at most kMaxCameraFramePixels pixels in all, grey or
// colour. False with the reason in `error`.
bool cameraFrameSizeAllowed(std::int64_t width, std::int64_t height, QString& error);

// Turns the grey 8- or 16-bit mosaic in `frame`, whose pixel (0, 0) sees
// `pattern`, into red, green and blue planes. A mosaic too small to demosaic
// stays grey. False with the reason in `error` when memory runs out.
bool demosaicCameraFrame(CameraFrame& frame, BayerPattern pattern, QString& error);
