// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/FitsDecoding.h"

#include "fitsunpack/CfitsioImage.h"
#include "fitsunpack/FitsLayout.h"
#include "live/FitsUnpacker.h"
#include "live/PictureDecoding.h"
#include "stretch/BayerDemosaic.h"
#include "stretch/ParallelBands.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>

namespace {

constexpr int kMaxAxes = 3;
constexpr int kBitsPerByte = 8;
constexpr int kColourChannels = 3;

// The image HDU's geometry and how its samples are read.
struct FitsImage {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t planes = 1;
    int bitpix = 0;
    PixelType pixelType = PixelType::UInt8;
};

QString cfitsioFailureText(int status)
{
    return QString::fromStdString(cfitsioFailure(status));
}

// The image's geometry and sample type, refused unless it is a grey or
// red-green-blue image within the frame bounds.
bool readImageHeader(CfitsioImage& fits, FitsImage& image, QString& error)
{
    int naxis = 0;
    int status = fits.openFirstImage(naxis);
    if (status == END_OF_FILE) {
        fits_clear_errmsg();
        error = QStringLiteral("the FITS file holds no image");
        return false;
    }
    std::array<LONGLONG, kMaxAxes> axes = {1, 1, 1};
    int equivalentType = 0;
    if (status != 0 || fits_get_img_paramll(fits.file, kMaxAxes, &image.bitpix, &naxis, axes.data(), &status) != 0 ||
        fits_get_img_equivtype(fits.file, &equivalentType, &status) != 0) {
        error = cfitsioFailureText(status);
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
    const std::optional<PixelType> pixelType = fits.pixelTypeOf(image.bitpix, equivalentType);
    if (!pixelType) {
        error = QStringLiteral("FITS images of BITPIX %1 are not read").arg(image.bitpix);
        return false;
    }
    image.pixelType = *pixelType;
    return cameraFrameSizeAllowed(image.width, image.height, error);
}

// The image's data must lie inside the bytes: cfitsio would otherwise find
// out only after the samples were allocated.
bool dataInsideBytes(fitsfile* file, const FitsImage& image, std::int64_t length, QString& error)
{
    int status = 0;
    LONGLONG headerStart = 0, dataStart = 0, dataEnd = 0;
    if (fits_get_hduaddrll(file, &headerStart, &dataStart, &dataEnd, &status) != 0) {
        error = cfitsioFailureText(status);
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

// The unsigned offset of 16-bit FITS data: BZERO 32768 flips the sign bit.
constexpr double kUnsignedShortZero = 32768.0;
constexpr std::uint16_t kSignBit = 0x8000;
// Fewer samples are converted on one thread.
constexpr std::int64_t kMinConvertBandSamples = std::int64_t(1) << 20;

// cfitsio copies the samples, swaps their bytes, then offsets them, each pass
// over the whole image on one thread. The 16-bit images cameras write (BSCALE
// 1, BZERO 0 or 32768) are converted straight from their big-endian bytes
// instead, in bands on the pool, into the same values. False, with nothing
// written, for any other image.
bool convertShortsInBands(fitsfile* file, const FitsImage& image, const char* bytes, CameraFrame& frame)
{
    if (image.bitpix != SHORT_IMG)
        return false;
    int status = 0;
    double scale = 1.0, zero = 0.0;
    if (fits_read_key(file, TDOUBLE, "BSCALE", &scale, nullptr, &status) == KEY_NO_EXIST)
        status = 0;
    if (fits_read_key(file, TDOUBLE, "BZERO", &zero, nullptr, &status) == KEY_NO_EXIST)
        status = 0;
    LONGLONG headerStart = 0, dataStart = 0, dataEnd = 0;
    fits_get_hduaddrll(file, &headerStart, &dataStart, &dataEnd, &status);
    fits_clear_errmsg();
    const bool unsignedShorts = zero == kUnsignedShortZero && image.pixelType == PixelType::UInt16;
    const bool signedShorts = zero == 0.0 && image.pixelType == PixelType::Int16;
    if (status != 0 || scale != 1.0 || !(unsignedShorts || signedShorts))
        return false;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes + dataStart);
    auto* samples = reinterpret_cast<std::uint16_t*>(frame.samples.data());
    const std::uint16_t flip = unsignedShorts ? kSignBit : 0;
    runInBands(image.width * image.height * image.planes, kMinConvertBandSamples,
        [=](std::int64_t begin, std::int64_t end) {
            for (std::int64_t i = begin; i < end; ++i)
                samples[i] = std::uint16_t((data[2 * i] << 8 | data[2 * i + 1]) ^ flip);
        });
    return true;
}

// Reads the samples, scaled by BZERO and BSCALE, into the frame.
bool readSamples(fitsfile* file, const FitsImage& image, const char* bytes, CameraFrame& frame, QString& error)
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
    if (!convertShortsInBands(file, image, bytes, frame) &&
        fits_read_img(file, int(image.pixelType), 1, count, nullptr, frame.samples.data(), &anyNull, &status) != 0) {
        error = cfitsioFailureText(status);
        return false;
    }
    frame.width = std::int32_t(image.width);
    frame.height = std::int32_t(image.height);
    frame.channels = std::int32_t(image.planes);
    frame.pixelType = image.pixelType;
    return true;
}

// A plain FITS file, read by cfitsio in this process.
bool decodePlainFits(const char* bytes, std::int64_t length, CameraFrame& frame, CfitsioImage::Mosaic& mosaic,
    QString& error)
{
    CfitsioImage fits(bytes, length);
    FitsImage image;
    if (!readImageHeader(fits, image, error) || !dataInsideBytes(fits.file, image, length, error) ||
        !readSamples(fits.file, image, bytes, frame, error))
        return false;
    mosaic = fits.mosaic();
    return true;
}

// A file that may hold a tile-compressed image: its headers are checked by
// our own reading, and cfitsio reads it only in the unpacking processes.
bool decodeCompressedFits(const char* bytes, std::int64_t length, CameraFrame& frame, CfitsioImage::Mosaic& mosaic,
    QString& error)
{
    FitsImageLayout layout;
    std::string reason;
    if (!inspectFitsImage(bytes, length, kMaxCameraFramePixels, layout, reason)) {
        error = QString::fromStdString(reason);
        return false;
    }
    return cameraFrameSizeAllowed(layout.width, layout.height, error) &&
        FitsUnpacker(FitsUnpacker::helperPath()).unpack(bytes, length, layout, frame, mosaic, error);
}

// The pattern of a grey 8- or 16-bit mosaic; nothing for other frames.
// Mosaics of other sample types (floating point, signed or 32-bit data from
// processing) are shown grey: the demosaic takes only 8- and 16-bit samples.
std::optional<BayerPattern> mosaicPattern(const CameraFrame& frame, const CfitsioImage::Mosaic& mosaic)
{
    const bool demosaicable = frame.pixelType == PixelType::UInt8 || frame.pixelType == PixelType::UInt16;
    const std::optional<BayerPattern> pattern = bayerPatternNamed(mosaic.pattern);
    if (frame.channels != 1 || !demosaicable || !pattern)
        return std::nullopt;
    return shiftedBayerPattern(*pattern, mosaic.offsetX, mosaic.offsetY);
}

}  // namespace

bool decodeFits(const char* bytes, std::int64_t length, CameraFrame& frame, QString& error)
{
    if (length < kFitsBlockBytes) {
        error = QStringLiteral("a FITS file of %1 bytes is shorter than one %2-byte block")
                    .arg(length)
                    .arg(kFitsBlockBytes);
        return false;
    }
    // cfitsio reads whole blocks: from memory it would read past the end of
    // a shorter last one. Bytes after them are no part of the file.
    const std::int64_t wholeBlocks = length - length % kFitsBlockBytes;
    CfitsioImage::Mosaic mosaic;
    const bool decoded = mentionsCompressedImage(bytes, wholeBlocks)
        ? decodeCompressedFits(bytes, wholeBlocks, frame, mosaic, error)
        : decodePlainFits(bytes, wholeBlocks, frame, mosaic, error);
    if (!decoded)
        return false;
    const std::optional<BayerPattern> pattern = mosaicPattern(frame, mosaic);
    return !pattern || demosaicCameraFrame(frame, *pattern, error);
}
