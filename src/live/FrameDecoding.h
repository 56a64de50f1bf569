#pragma once

#include <QByteArray>

#include <cstdint>

// Turns the camera's JPEG pictures into 8-bit samples. Interleaved layout: rows
// top to bottom, pixels left to right, the channels of a pixel together (grey;
// or red, green, blue). Planar layout: plane k of width x height samples starts
// at byte k x width x height.
//
// Threads: reentrant; the live client calls both on the INDI receiving thread.

// Decodes one JPEG picture held in memory into interleaved samples in `pixels`.
// True only for a picture of 1 or 3 components; `width` and `height` are then
// written, `channels` as soon as the header is read (4 for CMYK, with false).
// Corrupt input answers false and never ends the process; a truncated picture
// with an intact header decodes to full size (the missing rows grey). Pictures
// of more samples than a signed 32-bit count holds, or that do not fit in
// memory, answer false before any row is decoded.
bool decodeJpeg(const unsigned char* bytes, unsigned long length, QByteArray& pixels, std::int32_t& width,
    std::int32_t& height, std::int32_t& channels);

// The planar form of an interleaved picture; one channel is returned as is.
// Empty for a negative geometry or interleaved bytes fewer than it needs.
QByteArray toPlanar(const QByteArray& interleaved, std::int32_t width, std::int32_t height, std::int32_t channels);
