// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/FitsDecoding.h"

#include "live/PictureDecoding.h"
#include "stretch/BayerDemosaic.h"

#include <fitsio.h>

#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <new>
#include <optional>

namespace {

constexpr int kMaxAxes = 3;
// A FITS file is a whole number of blocks. cfitsio reads whole blocks, and
// from memory it would read past the end of a shorter last one.
constexpr std::int64_t kFitsBlockBytes = 2880;
constexpr std::int64_t kCardBytes = 80;
constexpr int kBitsPerByte = 8;
constexpr int kColourChannels = 3;

// Owns an open cfitsio file on our bytes. cfitsio keeps the addresses of the
// buffer pointer and size it was opened with, so they live here beside it.
class FitsMemoryFile {
public:
    FitsMemoryFile(const char* bytes, std::int64_t length) : buffer(const_cast<char*>(bytes)), size(std::size_t(length))
    {
    }
    ~FitsMemoryFile()
    {
        int status = 0;
        if (file != nullptr)
            fits_close_file(file, &status);
    }
    FitsMemoryFile(const FitsMemoryFile&) = delete;
    FitsMemoryFile& operator=(const FitsMemoryFile&) = delete;

    // Read-only: cfitsio neither writes nor reallocates the caller's bytes.
    int open()
    {
        int status = 0;
        fits_open_memfile(&file, "picture", READONLY, &buffer, &size, 0, nullptr, &status);
        return status;
    }

    fitsfile* file = nullptr;

private:
    void* buffer;
    std::size_t size;
};

// cfitsio 4.2 divides by a tile-compressed image's ZTILEn as it moves to its
// HDU, before anything can be asked of it, and a tile size of 0 ends the
// process: so the header cards' own text is checked first.
bool tileSizesPositive(const char* bytes, std::int64_t length)
{
    constexpr std::size_t kNameBytes = 5;
    constexpr std::size_t kValueIndicator = 8;
    constexpr std::size_t kValueStart = 10;
    constexpr std::size_t kValueBytes = 20;
    for (std::int64_t offset = 0; offset + kCardBytes <= length; offset += kCardBytes) {
        const char* card = bytes + offset;
        const bool tileSize = std::strncmp(card, "ZTILE", kNameBytes) == 0 &&
            std::isdigit(static_cast<unsigned char>(card[kNameBytes])) && card[kValueIndicator] == '=';
        if (tileSize && std::strtol(std::string(card + kValueStart, kValueBytes).c_str(), nullptr, 10) < 1)
            return false;
    }
    return true;
}

// The image HDU's geometry and how its samples are read.
struct FitsImage {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t planes = 1;
    int bitpix = 0;
    PixelType pixelType = PixelType::UInt8;
};

// cfitsio prints nothing itself; its messages go on a stack that all threads
// share, cleared after every failure so that it never grows. The reason is
// the status code's text.
QString cfitsioFailure(int status)
{
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    fits_clear_errmsg();
    return QStringLiteral("cfitsio cannot read the FITS picture: %1").arg(QString::fromLatin1(text));
}

// The PixelType (whose numbers are cfitsio's data-type codes) that holds the
// values of an image of cfitsio's equivalent type, after BZERO and BSCALE.
std::optional<PixelType> pixelTypeOf(int equivalentType)
{
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

// cfitsio 4.2 reports BITPIX 64 with BZERO 2^63 (unsigned 64-bit) as
// LONGLONG_IMG, and reading it as long long overflows: 64-bit images with any
// offset are read as doubles.
bool readsAsDouble(fitsfile* file, int bitpix)
{
    int status = 0;
    double zero = 0;
    if (bitpix != LONGLONG_IMG || fits_read_key(file, TDOUBLE, "BZERO", &zero, nullptr, &status) == 0)
        return bitpix == LONGLONG_IMG && zero != 0;
    fits_clear_errmsg();
    return false;
}

// Moves to the first HDU holding an image with at least one axis; an fpack
// file's primary HDU is empty and its compressed image follows.
int moveToFirstImage(fitsfile* file, int& naxis)
{
    int status = 0;
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

// The image's geometry and sample type, refused unless it is a grey or
// red-green-blue image within the frame bounds.
bool readImageHeader(fitsfile* file, FitsImage& image, QString& error)
{
    int naxis = 0;
    int status = moveToFirstImage(file, naxis);
    if (status == END_OF_FILE) {
        fits_clear_errmsg();
        error = QStringLiteral("the FITS file holds no image");
        return false;
    }
    std::array<LONGLONG, kMaxAxes> axes = {1, 1, 1};
    int equivalentType = 0;
    if (status != 0 || fits_get_img_paramll(file, kMaxAxes, &image.bitpix, &naxis, axes.data(), &status) != 0 ||
        fits_get_img_equivtype(file, &equivalentType, &status) != 0) {
        error = cfitsioFailure(status);
        return false;
    }
    image.width = axes[0];
    image.height = axes[1];
    image.planes = axes[2];
    const bool planesShown = image.planes == 1 || image.planes == kColourChannels;
    if (naxis < 2 || naxis > kMaxAxes || !planesShown) {
        error = QStringLiteral("FITS images of %1 axes (the third of %2) are neither grey nor colour")
                    .arg(naxis)
                    .arg(image.planes);
        return false;
    }
    const std::optional<PixelType> pixelType =
        pixelTypeOf(readsAsDouble(file, image.bitpix) ? DOUBLE_IMG : equivalentType);
    if (!pixelType) {
        error = QStringLiteral("FITS images of BITPIX %1 are not read").arg(image.bitpix);
        return false;
    }
    image.pixelType = *pixelType;
    return cameraFrameSizeAllowed(image.width, image.height, error);
}

// Only Rice tiles, which INDI's drivers write, are decompressed: cfitsio
// 4.2 loops for ever on a corrupt GZIP tile, and a stuck picture worker would
// freeze the feed.
bool riceCompressed(fitsfile* file, QString& error)
{
    int status = 0;
    char type[FLEN_VALUE] = {};
    if (fits_read_key_str(file, "ZCMPTYPE", type, nullptr, &status) != 0) {
        error = cfitsioFailure(status);
        return false;
    }
    if (std::strcmp(type, "RICE_1") == 0)
        return true;
    error = QStringLiteral("FITS tiles compressed with %1 are not read, only RICE_1").arg(QString::fromLatin1(type));
    return false;
}

// The image's data must lie inside the bytes: cfitsio would otherwise find
// out only after the samples were allocated, and from memory it reads a
// compressed image's tiles past the end of the bytes.
bool dataInsideBytes(fitsfile* file, const FitsImage& image, std::int64_t length, QString& error)
{
    int status = 0;
    LONGLONG headerStart = 0, dataStart = 0, dataEnd = 0;
    const bool compressed = fits_is_compressed_image(file, &status) != 0;
    if (fits_get_hduaddrll(file, &headerStart, &dataStart, &dataEnd, &status) != 0) {
        error = cfitsioFailure(status);
        return false;
    }
    if (compressed && !riceCompressed(file, error))
        return false;
    if (compressed && dataEnd <= length)
        return true;
    if (compressed) {
        error = QStringLiteral("the compressed FITS image's tiles reach byte %1, but the picture holds %2 bytes")
                    .arg(dataEnd)
                    .arg(length);
        return false;
    }
    const std::int64_t dataBytes = image.width * image.height * image.planes * (std::abs(image.bitpix) / kBitsPerByte);
    if (dataStart + dataBytes <= length)
        return true;
    error = QStringLiteral("the FITS header claims %1 x %2 pixels of %3 bits, but the picture holds %4 bytes")
                .arg(image.width)
                .arg(image.height)
                .arg(std::abs(image.bitpix))
                .arg(length);
    return false;
}

// The pattern of a grey 8- or 16-bit mosaic from its BAYERPAT, XBAYROFF and
// YBAYROFF keywords; nothing without them. Mosaics of other sample types
// (floating point, signed or 32-bit data from processing) are shown grey:
// the demosaic takes only 8- and 16-bit samples.
std::optional<BayerPattern> mosaicPattern(fitsfile* file, const FitsImage& image)
{
    const bool demosaicable = image.pixelType == PixelType::UInt8 || image.pixelType == PixelType::UInt16;
    if (image.planes != 1 || !demosaicable)
        return std::nullopt;
    int status = 0;
    char name[FLEN_VALUE] = {};
    if (fits_read_key_str(file, "BAYERPAT", name, nullptr, &status) != 0) {
        fits_clear_errmsg();
        return std::nullopt;
    }
    const std::optional<BayerPattern> pattern = bayerPatternNamed(name);
    if (!pattern)
        return std::nullopt;
    long offset[2] = {0, 0};
    const char* offsetKeys[2] = {"XBAYROFF", "YBAYROFF"};
    for (int axis = 0; axis < 2; ++axis) {
        status = 0;
        if (fits_read_key(file, TLONG, offsetKeys[axis], &offset[axis], nullptr, &status) != 0) {
            offset[axis] = 0;
            fits_clear_errmsg();
        }
    }
    return shiftedBayerPattern(*pattern, offset[0], offset[1]);
}

// Reads the samples, scaled by BZERO and BSCALE, into the frame.
bool readSamples(fitsfile* file, const FitsImage& image, CameraFrame& frame, QString& error)
{
    const std::int64_t count = image.width * image.height * image.planes;
    std::int64_t sampleBytes = 0;
    visitSampleType(image.pixelType, [&](auto sample) { sampleBytes = sizeof(*sample); });
    try {
        frame.samples = QByteArray(qsizetype(count * sampleBytes), Qt::Uninitialized);
    } catch (const std::bad_alloc&) {
        error = QStringLiteral("memory ran out for a FITS image of %1 x %2 pixels").arg(image.width).arg(image.height);
        return false;
    }
    int status = 0;
    int anyNull = 0;
    if (fits_read_img(file, int(image.pixelType), 1, count, nullptr, frame.samples.data(), &anyNull, &status) != 0) {
        error = cfitsioFailure(status);
        return false;
    }
    frame.width = std::int32_t(image.width);
    frame.height = std::int32_t(image.height);
    frame.channels = std::int32_t(image.planes);
    frame.pixelType = image.pixelType;
    return true;
}

}  // namespace

bool decodeFits(const char* bytes, std::int64_t length, CameraFrame& frame, QString& error)
{
    if (length <= 0 || length % kFitsBlockBytes != 0) {
        error = QStringLiteral("a FITS file of %1 bytes is not a whole number of %2-byte blocks")
                    .arg(length)
                    .arg(kFitsBlockBytes);
        return false;
    }
    if (!tileSizesPositive(bytes, length)) {
        error = QStringLiteral("the FITS file's compressed image has tiles of no size (ZTILE)");
        return false;
    }
    FitsMemoryFile fits(bytes, length);
    if (const int status = fits.open(); status != 0) {
        error = cfitsioFailure(status);
        return false;
    }
    FitsImage image;
    if (!readImageHeader(fits.file, image, error) || !dataInsideBytes(fits.file, image, length, error))
        return false;
    const std::optional<BayerPattern> pattern = mosaicPattern(fits.file, image);
    if (!readSamples(fits.file, image, frame, error))
        return false;
    return !pattern || demosaicCameraFrame(frame, *pattern, error);
}
