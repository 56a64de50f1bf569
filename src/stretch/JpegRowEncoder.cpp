// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/JpegRowEncoder.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include <jpeglib.h>

#include "stretch/JpegEncoding.h"
#include "stretch/JpegErrorJump.h"

namespace {

static_assert(kMaxJpegSidePixels == JPEG_MAX_DIMENSION, "libjpeg's limit");

constexpr UINT8 kDensityInDotsPerInch = 1;
// What Qt's writer stored for our pictures: made without a screen, they have 100.
constexpr UINT16 kDotsPerInch = 100;
void ignoreMessage(j_common_ptr) { }

// The libjpeg layout of the picture's rows.
void inputLayout(const PictureBuffer& picture, J_COLOR_SPACE& space, int& components)
{
    if (picture.channels() == 1) {
        space = JCS_GRAYSCALE;
        components = 1;
        return;
    }
    // 0xFFRRGGBB words: B, G, R, X in memory on little-endian machines.
    space = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? JCS_EXT_BGRX : JCS_EXT_XRGB;
    components = 4;
}

// libjpeg-turbo's bound on the compressed size (its tjBufSize): 2 bytes a
// pixel of whole 16 x 16 blocks for grey, 3 with 2 x 2 subsampled chroma.
std::size_t compressedBound(const PictureBuffer& picture, int components)
{
    constexpr std::size_t kBlockPixels = 16;
    constexpr std::size_t kMarkerBytes = 2048;
    const auto padded = [](int extent) {
        return (std::size_t(extent) + kBlockPixels - 1) / kBlockPixels * kBlockPixels;
    };
    const std::size_t bytesPerPixel = components == 1 ? 2 : 3;
    return padded(picture.width()) * padded(picture.height()) * bytesPerPixel + kMarkerBytes;
}

}  // namespace

// The compression object and what it writes into. The functions below that
// hold setjmp's return point own nothing that needs a destructor: a fatal
// libjpeg error jumps back only across libjpeg's C frames into them.
struct JpegRowEncoder::Compression {
    jpeg_compress_struct info{};
    JpegErrorJump errors{};
    std::vector<JSAMPROW> rows;
    // Large enough for any picture, so libjpeg does not replace it with one of
    // its own; only the pages written are ever touched.
    unsigned char* buffer = nullptr;
    unsigned char* output = nullptr;
    unsigned long outputBytes = 0;
    bool created = false;
    bool failed = false;

    ~Compression()
    {
        if (created)
            jpeg_destroy_compress(&info);
        if (output != buffer)
            std::free(output);  // libjpeg's own, had the bound been too small
        std::free(buffer);
    }

    bool begin(const PictureBuffer& picture, J_COLOR_SPACE space, int components, int quality)
    {
        if (setjmp(errors.returnPoint))
            return false;
        jpeg_create_compress(&info);
        created = true;
        jpeg_mem_dest(&info, &output, &outputBytes);
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
        return true;
    }

    bool write(JDIMENSION rowCount)
    {
        if (setjmp(errors.returnPoint))
            return false;
        const JDIMENSION end = info.next_scanline + rowCount;
        while (info.next_scanline < end)
            jpeg_write_scanlines(&info, rows.data() + info.next_scanline, end - info.next_scanline);
        return true;
    }

    bool end()
    {
        if (setjmp(errors.returnPoint))
            return false;
        jpeg_finish_compress(&info);
        return true;
    }
};

JpegRowEncoder::JpegRowEncoder() = default;

JpegRowEncoder::~JpegRowEncoder() = default;

bool JpegRowEncoder::start(const PictureBuffer& picture, int quality)
{
    compression_.reset();
    J_COLOR_SPACE space = JCS_UNKNOWN;
    int components = 0;
    if (picture.isNull() || picture.width() > kMaxJpegSidePixels || picture.height() > kMaxJpegSidePixels)
        return false;
    inputLayout(picture, space, components);
    auto compression = std::make_unique<Compression>();
    try {
        compression->rows.resize(static_cast<std::size_t>(picture.height()));
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (int y = 0; y < picture.height(); ++y)
        compression->rows[static_cast<std::size_t>(y)] = const_cast<JSAMPROW>(picture.row(y));
    compression->info.err = compression->errors.jumpOnError();
    compression->errors.manager.output_message = ignoreMessage;
    compression->outputBytes = static_cast<unsigned long>(compressedBound(picture, components));
    compression->buffer = static_cast<unsigned char*>(std::malloc(compression->outputBytes));
    if (compression->buffer == nullptr)
        return false;
    compression->output = compression->buffer;
    if (!compression->begin(picture, space, components, quality))
        return false;
    compression_ = std::move(compression);
    return true;
}

bool JpegRowEncoder::writeRows(int rowCount)
{
    if (!compression_ || compression_->failed || rowCount < 0 ||
        rowCount > static_cast<int>(compression_->info.image_height - compression_->info.next_scanline))
        return false;
    compression_->failed = !compression_->write(static_cast<JDIMENSION>(rowCount));
    return !compression_->failed;
}

bool JpegRowEncoder::finish(QByteArray& jpeg)
{
    if (!compression_ || compression_->failed || compression_->info.next_scanline < compression_->info.image_height)
        return false;
    if (!compression_->end())
        return false;
    QByteArray bytes(
        reinterpret_cast<const char*>(compression_->output), static_cast<qsizetype>(compression_->outputBytes));
    jpeg.swap(bytes);
    compression_.reset();
    return true;
}
