// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "stretch/PixelType.h"

#include <fitsio.h>

#include <cstdint>
#include <optional>
#include <string>

// What the service and the unpacking process both ask of cfitsio about a FITS
// file in memory: its first image, the type its samples read into and its
// mosaic keywords. Threads: reentrant (Debian's cfitsio is built reentrant).

// Owns an open cfitsio file on our bytes, read-only. cfitsio keeps the
// addresses of the buffer pointer and size it was opened with, so they live
// here beside it.
class CfitsioImage {
public:
    CfitsioImage(const char* bytes, std::int64_t length);
    ~CfitsioImage();
    CfitsioImage(const CfitsioImage&) = delete;
    CfitsioImage& operator=(const CfitsioImage&) = delete;

    // Opens the bytes and moves to the first HDU holding an image with at
    // least one axis (an fpack file's primary HDU is empty); cfitsio's status.
    int openFirstImage(int& naxis);

    // The PixelType (whose numbers are cfitsio's data-type codes) that holds
    // the values of an image of `bitpix` and cfitsio's equivalent type, after
    // BZERO and BSCALE; nothing for types not read.
    std::optional<PixelType> pixelTypeOf(int bitpix, int equivalentType);

    // BAYERPAT in upper case (empty without one), and the parity of XBAYROFF
    // and YBAYROFF (0 without them).
    struct Mosaic {
        std::string pattern;
        int offsetX = 0;
        int offsetY = 0;
    };
    Mosaic mosaic();

    fitsfile* file = nullptr;

private:
    void* buffer_;
    std::size_t size_;
};

// The text of cfitsio's status code; clears cfitsio's message stack, which
// all threads share, so that it never grows.
std::string cfitsioFailure(int status);
