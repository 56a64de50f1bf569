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

// Deflated pictures inflate to at most the largest frame of the widest samples
// (8 bytes) in colour, plus this much room for a FITS header.
constexpr std::int64_t kFitsHeaderRoomBytes = std::int64_t(1) << 20;
constexpr std::int64_t kMaxInflatedPictureBytes = kMaxCameraFramePixels * 8 * 3 + kFitsHeaderRoomBytes;

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

// Decodes a FITS or raw stream picture (not JPEG: `format` must be Fits or
// RawStream, deflated or not) into `frame`. False, with a one-line reason in
// `error` and `frame` unspecified, for bytes that do not match their format,
// a geometry beyond kMaxCameraFramePixels, a header claiming more bytes than
// there are, or memory that runs out. Nothing of a refused picture's claimed
// size is allocated.
bool decodeCameraPicture(PictureFormatName format, const char* bytes, std::int64_t length,
    const StreamGeometry& geometry, CameraFrame& frame, QString& error);

// The decoders' shared steps.

// Whether a frame of width x height pixels may be decoded: each side 1 to
// kMaxJpegSidePixels, at most kMaxCameraFramePixels pixels in all, grey or
// colour. False with the reason in `error`.
bool cameraFrameSizeAllowed(std::int64_t width, std::int64_t height, QString& error);

// Turns the grey 8- or 16-bit mosaic in `frame`, whose pixel (0, 0) sees
// `pattern`, into red, green and blue planes. A mosaic too small to demosaic
// stays grey. False with the reason in `error` when memory runs out.
bool demosaicCameraFrame(CameraFrame& frame, BayerPattern pattern, QString& error);
