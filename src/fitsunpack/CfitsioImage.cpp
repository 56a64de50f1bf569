// SPDX-License-Identifier: GPL-3.0-or-later
#include "fitsunpack/CfitsioImage.h"

#include <algorithm>
#include <cctype>

CfitsioImage::CfitsioImage(const char* bytes, std::int64_t length)
    : buffer_(const_cast<char*>(bytes)), size_(std::size_t(length))
{
}

CfitsioImage::~CfitsioImage()
{
    int status = 0;
    if (file != nullptr)
        fits_close_file(file, &status);
}

int CfitsioImage::openFirstImage(int& naxis)
{
    int status = 0;
    // Read-only: cfitsio neither writes nor reallocates the caller's bytes.
    if (fits_open_memfile(&file, "picture", READONLY, &buffer_, &size_, 0, nullptr, &status) != 0)
        return status;
    for (int hdu = 1;; ++hdu) {
        int type = 0;
        if (fits_movabs_hdu(file, hdu, &type, &status) != 0)
            return status;
        if (type == IMAGE_HDU && fits_get_img_dim(file, &naxis, &status) == 0 && naxis > 0)
            return 0;
        if (status != 0)
            return status;
    }
}

std::optional<PixelType> CfitsioImage::pixelTypeOf(int bitpix, int equivalentType)
{
    // cfitsio 4.2 reports BITPIX 64 with BZERO 2^63 (unsigned 64-bit) as
    // LONGLONG_IMG, and reading it as long long overflows: 64-bit images with
    // any offset are read as doubles.
    int status = 0;
    double zero = 0;
    if (bitpix == LONGLONG_IMG && fits_read_key(file, TDOUBLE, "BZERO", &zero, nullptr, &status) == 0 && zero != 0)
        equivalentType = DOUBLE_IMG;
    fits_clear_errmsg();
    switch (equivalentType) {
    case BYTE_IMG:
        return PixelType::UInt8;
    case SBYTE_IMG:
    case SHORT_IMG:
        return PixelType::Int16;
    case USHORT_IMG:
        return PixelType::UInt16;
    case LONG_IMG:
        return PixelType::Long;
    case ULONG_IMG:
    case LONGLONG_IMG:
        return PixelType::LongLong;
    case FLOAT_IMG:
        return PixelType::Float;
    case ULONGLONG_IMG:
    case DOUBLE_IMG:
        return PixelType::Double;
    }
    return std::nullopt;
}

CfitsioImage::Mosaic CfitsioImage::mosaic()
{
    Mosaic mosaic;
    int status = 0;
    char name[FLEN_VALUE] = {};
    if (fits_read_key_str(file, "BAYERPAT", name, nullptr, &status) != 0) {
        fits_clear_errmsg();
        return mosaic;
    }
    mosaic.pattern = name;
    std::transform(mosaic.pattern.begin(), mosaic.pattern.end(), mosaic.pattern.begin(),
        [](unsigned char c) { return char(std::toupper(c)); });
    const char* offsetKeys[2] = {"XBAYROFF", "YBAYROFF"};
    int* offsets[2] = {&mosaic.offsetX, &mosaic.offsetY};
    for (int axis = 0; axis < 2; ++axis) {
        long offset = 0;
        status = 0;
        if (fits_read_key(file, TLONG, offsetKeys[axis], &offset, nullptr, &status) == 0)
            *offsets[axis] = int(offset & 1);
        fits_clear_errmsg();
    }
    return mosaic;
}

std::string cfitsioFailure(int status)
{
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    fits_clear_errmsg();
    return std::string("cfitsio cannot read the FITS picture: ") + text;
}
