// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/JpegEncoding.h"

#include <QList>
#include <QRgb>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include <jpeglib.h>

namespace {

static_assert(kMaxJpegSidePixels == JPEG_MAX_DIMENSION, "libjpeg's limit");

constexpr UINT8 kDensityInDotsPerInch = 1;
// What Qt's writer stored for our pictures: made without a screen, they have 100.
constexpr UINT16 kDotsPerInch = 100;
constexpr int kGreyLevels = 256;

// libjpeg's error manager first, so the library's pointer to it is also a
// pointer to the whole record, then where a fatal error jumps back to.
struct EncoderErrors {
    jpeg_error_mgr manager;
    std::jmp_buf returnPoint;
};

[[noreturn]] void jumpToReturnPoint(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<EncoderErrors*>(info->err)->returnPoint, 1);
}

void ignoreMessage(j_common_ptr) { }

bool hasGreyRamp(const QImage& picture)
{
    const QList<QRgb> table = picture.colorTable();
    if (table.size() != kGreyLevels)
        return false;
    for (int level = 0; level < kGreyLevels; ++level) {
        if ((table[level] & 0xFFFFFFu) != static_cast<QRgb>(level) * 0x010101u)
            return false;
    }
    return true;
}

// The libjpeg layout of the picture's rows; false for a picture it cannot take as it is.
bool inputLayout(const QImage& picture, J_COLOR_SPACE& space, int& components)
{
    switch (picture.format()) {
    case QImage::Format_RGB32:
        // 0xFFRRGGBB words: B, G, R, X in memory on little-endian machines.
        space = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? JCS_EXT_BGRX : JCS_EXT_XRGB;
        components = 4;
        return true;
    case QImage::Format_Indexed8:
        space = JCS_GRAYSCALE;
        components = 1;
        return hasGreyRamp(picture);
    case QImage::Format_Grayscale8:
        space = JCS_GRAYSCALE;
        components = 1;
        return true;
    default:
        return false;
    }
}

// libjpeg-turbo's bound on the compressed size (its tjBufSize): 2 bytes a
// pixel of whole 16 x 16 blocks for grey, 3 with 2 x 2 subsampled chroma.
std::size_t compressedBound(const QImage& picture, int components)
{
    constexpr std::size_t kBlockPixels = 16;
    constexpr std::size_t kMarkerBytes = 2048;
    const auto padded = [](int extent) {
        return (std::size_t(extent) + kBlockPixels - 1) / kBlockPixels * kBlockPixels;
    };
    const std::size_t bytesPerPixel = components == 1 ? 2 : 3;
    return padded(picture.width()) * padded(picture.height()) * bytesPerPixel + kMarkerBytes;
}

// Holds setjmp's return point: a fatal libjpeg error jumps back only across
// libjpeg's C frames, and this function owns nothing that needs a destructor.
// The output buffer is large enough for any picture, so libjpeg does not
// replace it with one of its own.
bool compress(jpeg_compress_struct& info, EncoderErrors& errors, const QImage& picture, JSAMPARRAY rows,
    J_COLOR_SPACE space, int components, int quality, unsigned char** output, unsigned long* outputBytes)
{
    if (setjmp(errors.returnPoint)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, output, outputBytes);
    info.image_width = static_cast<JDIMENSION>(picture.width());
    info.image_height = static_cast<JDIMENSION>(picture.height());
    info.input_components = components;
    info.in_color_space = space;
    jpeg_set_defaults(&info);
    info.density_unit = kDensityInDotsPerInch;
    info.X_density = kDotsPerInch;
    info.Y_density = kDotsPerInch;
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height)
        jpeg_write_scanlines(&info, rows + info.next_scanline, info.image_height - info.next_scanline);
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

}  // namespace

bool encodePictureJpeg(const QImage& picture, int quality, QByteArray& jpeg)
{
    J_COLOR_SPACE space = JCS_UNKNOWN;
    int components = 0;
    if (picture.isNull() || picture.width() > kMaxJpegSidePixels || picture.height() > kMaxJpegSidePixels ||
        !inputLayout(picture, space, components))
        return false;
    std::vector<JSAMPROW> rows;
    try {
        rows.resize(static_cast<std::size_t>(picture.height()));
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (int y = 0; y < picture.height(); ++y)
        rows[static_cast<std::size_t>(y)] = const_cast<JSAMPROW>(picture.constScanLine(y));

    jpeg_compress_struct info{};
    EncoderErrors errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jumpToReturnPoint;
    errors.manager.output_message = ignoreMessage;
    // Only the pages written are ever touched.
    unsigned long outputBytes = static_cast<unsigned long>(compressedBound(picture, components));
    unsigned char* const buffer = static_cast<unsigned char*>(std::malloc(outputBytes));
    if (buffer == nullptr)
        return false;
    unsigned char* output = buffer;
    const bool compressed =
        compress(info, errors, picture, rows.data(), space, components, quality, &output, &outputBytes);
    if (compressed) {
        QByteArray bytes(reinterpret_cast<const char*>(output), static_cast<qsizetype>(outputBytes));
        jpeg.swap(bytes);
        if (output != buffer)
            std::free(output);  // libjpeg's own, had the bound been too small
    }
    std::free(buffer);
    return compressed;
}
