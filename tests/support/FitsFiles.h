// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

#include <vector>

namespace quelmor::test {

struct FitsImageContent {
    int imageType;  // cfitsio's: it writes BITPIX and BZERO for it
    std::vector<long> axes;
    std::vector<double> values;
    const char* bayer = nullptr;  // BAYERPAT, with XBAYROFF 1
    bool compressed = false;      // with RICE_1; USHORT_IMG only
};

// The FITS file cfitsio writes for `image`, the values scaled by BZERO; empty
// when cfitsio fails.
QByteArray fitsFile(const FitsImageContent& image);

// Overwrites the value of header card `key` (right-aligned in columns 11 to 30).
void setCard(QByteArray& fits, const char* key, long value);

}  // namespace quelmor::test
