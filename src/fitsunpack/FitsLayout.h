// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>

// A FITS file's headers read by our own card parser, never by cfitsio: which
// HDU holds the first image, its geometry and, for a tile-compressed image,
// whether every keyword cfitsio would act on is one it can act on safely.
// The service reads this before a compressed image leaves for the unpacking
// process, and that process reads it again before cfitsio sees the bytes.
//
// Threads: reentrant, no state.

// A FITS file is a whole number of 2880-byte blocks; bytes after the last
// whole block (some cameras pad their BLOBs with zeros) are no part of it.
constexpr std::int64_t kFitsBlockBytes = 2880;

struct FitsImageLayout {
    bool compressed = false;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t planes = 1;
    // ZBITPIX of a compressed image, BITPIX of a plain one.
    int bitpix = 0;
    // Where the image HDU's data ends, padded to its last block.
    std::int64_t hduEnd = 0;

    std::int64_t samples() const { return width * height * planes; }
    bool operator==(const FitsImageLayout& other) const
    {
        return compressed == other.compressed && width == other.width && height == other.height &&
            planes == other.planes && bitpix == other.bitpix && hduEnd == other.hduEnd;
    }
};

// Whether any header card of `bytes` is a ZIMAGE card, in any case: only
// such an HDU can make cfitsio take a table for a compressed image.
bool mentionsCompressedImage(const char* bytes, std::int64_t length);

// Walks the HDUs of `bytes` (whole blocks only) to the first that holds an
// image, plain or compressed with RICE_1, of 2 axes or a third of 1 or 3 and
// at most `maxPixels` pixels, whose data lies inside `bytes`. For a compressed
// image every structural and compression keyword must be present at most once,
// integers written as integers (cfitsio reads "1E-1" as a float and truncates
// it to 0), positive, and consistent with each other. False with a one-line
// reason in `error` for anything else.
bool inspectFitsImage(
    const char* bytes, std::int64_t length, std::int64_t maxPixels, FitsImageLayout& layout, std::string& error);
