#include "live/FrameDecoding.h"

#include <csetjmp>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include <jpeglib.h>

namespace {

constexpr std::int64_t kMaxSampleCount = std::numeric_limits<std::int32_t>::max();
// Every coded 8x8 block takes at least one bit of entropy-coded data.
constexpr std::int64_t kMinBlocksPerByte = 8;

// libjpeg's error manager first, so the library's pointer to it is also a
// pointer to the whole record, then where a fatal error jumps back to, then
// the progress hook that ends a cancelled decode the same way.
struct DecoderErrors {
    jpeg_error_mgr manager;
    std::jmp_buf returnPoint;
    jpeg_progress_mgr progress;
    const std::atomic<bool>* cancelled;
};

[[noreturn]] void jumpToReturnPoint(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<DecoderErrors*>(info->err)->returnPoint, 1);
}

// Called by libjpeg between rows and input passes.
void stopIfCancelled(j_common_ptr info)
{
    const std::atomic<bool>* cancelled = reinterpret_cast<DecoderErrors*>(info->err)->cancelled;
    if (cancelled->load(std::memory_order_relaxed))
        jumpToReturnPoint(info);
}

// The header's picture stays within the decode bound (see decodeJpeg).
bool withinDecodeBound(const jpeg_decompress_struct& info, unsigned long length)
{
    const std::int64_t pixels = static_cast<std::int64_t>(info.image_width) * info.image_height;
    if (pixels > kMaxDecodedPixels || pixels * info.num_components > kMaxSampleCount)
        return false;
    std::int64_t blocks = 0;
    for (int i = 0; i < info.num_components; ++i)
        blocks += static_cast<std::int64_t>(info.comp_info[i].width_in_blocks) * info.comp_info[i].height_in_blocks;
    return blocks / kMinBlocksPerByte <= static_cast<std::int64_t>(length);
}

// Destroys the decompression object on every way out of decodeJpeg;
// destroying one that was never fully created is harmless.
struct DecompressionGuard {
    jpeg_decompress_struct& info;
    ~DecompressionGuard() { jpeg_destroy_decompress(&info); }
};

// The functions below hold setjmp's return point. A fatal libjpeg error
// jumps back only across libjpeg's C frames into them, and they own nothing
// that needs a destructor, so the jump skips no C++ clean-up.

// Attaches the bytes, reads the header and checks the decode bound; false on
// a fatal error or a picture beyond the bound.
bool readHeader(jpeg_decompress_struct& info, DecoderErrors& errors, const unsigned char* bytes, unsigned long length)
{
    if (setjmp(errors.returnPoint))
        return false;
    jpeg_create_decompress(&info);
    if (errors.cancelled != nullptr)
        info.progress = &errors.progress;  // after creation, which clears it
    jpeg_mem_src(&info, bytes, length);
    jpeg_read_header(&info, TRUE);
    return withinDecodeBound(info, length);
}

bool startDecompression(jpeg_decompress_struct& info, DecoderErrors& errors)
{
    if (setjmp(errors.returnPoint))
        return false;
    return jpeg_start_decompress(&info) == TRUE;
}

// Reads the scan lines one at a time through `row` into consecutive rows of
// `pixels`, then finishes decompression.
bool readScanlines(jpeg_decompress_struct& info, DecoderErrors& errors, unsigned char* row, unsigned char* pixels,
    std::size_t rowBytes)
{
    if (setjmp(errors.returnPoint))
        return false;
    while (info.output_scanline < info.output_height) {
        unsigned char* target = pixels + static_cast<std::size_t>(info.output_scanline) * rowBytes;
        JSAMPROW rows[] = {row};
        if (jpeg_read_scanlines(&info, rows, 1) != 1)
            return false;  // a memory source never suspends; stop rather than spin
        std::memcpy(target, row, rowBytes);
    }
    jpeg_finish_decompress(&info);
    return true;
}

void abortDecompression(jpeg_decompress_struct& info, DecoderErrors& errors)
{
    if (setjmp(errors.returnPoint))
        return;
    jpeg_abort_decompress(&info);
}

}  // namespace

bool decodeJpeg(const unsigned char* bytes, unsigned long length, QByteArray& pixels, std::int32_t& width,
    std::int32_t& height, std::int32_t& channels, const std::atomic<bool>* cancelled)
{
    jpeg_decompress_struct info{};
    DecoderErrors errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jumpToReturnPoint;
    const DecompressionGuard guard{info};
    errors.cancelled = cancelled;
    errors.progress.progress_monitor = stopIfCancelled;

    if (!readHeader(info, errors, bytes, length) || !startDecompression(info, errors))
        return false;
    channels = info.output_components;
    if (channels != 1 && channels != 3) {
        abortDecompression(info, errors);
        return false;
    }

    const auto pictureWidth = static_cast<std::int32_t>(info.output_width);
    const auto pictureHeight = static_cast<std::int32_t>(info.output_height);
    const std::size_t rowBytes = static_cast<std::size_t>(pictureWidth) * static_cast<std::size_t>(channels);
    std::vector<unsigned char> row;
    try {
        pixels.resize(static_cast<qsizetype>(rowBytes * static_cast<std::size_t>(pictureHeight)));
        row.resize(rowBytes);
    } catch (const std::bad_alloc&) {
        return false;  // a picture too large for the memory left is just not decoded
    }
    if (!readScanlines(info, errors, row.data(), reinterpret_cast<unsigned char*>(pixels.data()), rowBytes))
        return false;
    width = pictureWidth;
    height = pictureHeight;
    return true;
}

QByteArray toPlanar(const QByteArray& interleaved, std::int32_t width, std::int32_t height, std::int32_t channels)
{
    if (channels == 1)
        return interleaved;
    if (width < 0 || height < 0 || channels < 1)
        return {};
    const std::int64_t n = static_cast<std::int64_t>(width) * height;
    const std::int64_t total = n * channels;
    if (interleaved.size() < total)
        return {};
    QByteArray planar(static_cast<qsizetype>(total), '\0');
    const char* source = interleaved.constData();
    char* target = planar.data();
    // One plane at a time: a sequential write stream and a strided read that the cache keeps.
    for (std::int32_t k = 0; k < channels; ++k) {
        char* plane = target + k * n;
        const char* sample = source + k;
        for (std::int64_t i = 0; i < n; ++i, sample += channels)
            plane[i] = *sample;
    }
    return planar;
}
