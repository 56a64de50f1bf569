// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

#include <vector>

namespace quelmor::test {

struct FitsImageContent {
    int imageType;  // cfitsio's: it writes BITPIX and BZERO for it
    std::vector<long> axes;
    std::vector<double> values;
    const char* bayer = nullptr;  // BAYERPAT, with XBAYROFF and YBAYROFF below
    bool compressed = false;      // with RICE_1; BYTE_IMG, USHORT_IMG, LONG_IMG or FLOAT_IMG
    long bayerOffsetX = 1;        // XBAYROFF
    long bayerOffsetY = 0;        // YBAYROFF, written when not 0
    double scale = 1;             // BSCALE, written when not 1
};

// The FITS file cfitsio writes for `image`, the values scaled by BZERO and
// BSCALE (stored as value / BSCALE); empty when cfitsio fails.
QByteArray fitsFile(const FitsImageContent& image);

// Overwrites the value of header card `key` (right-aligned in columns 11 to 30).
void setCard(QByteArray& fits, const char* key, long value);

}  // namespace quelmor::test
