// SPDX-License-Identifier: GPL-3.0-or-later
// Any bytes a camera sends are decoded without crashing or leaking, and a
// picture that decodes fills exactly its geometry, interleaved and planar,
// and decodes straight into planes to the same planes; reduced by 2, 4 and 8
// as the server sends it, with the size of its header.
#include "live/CameraJpegPicture.h"
#include "live/FrameDecoding.h"
#include "stretch/JpegErrorJump.h"

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

// Pictures claiming more pixels are skipped: a few header bytes can ask for
// gigabytes of grey rows, which only burns the time limit per input.
constexpr std::int64_t kMaxFuzzedPixels = 1 << 20;

void discardMessage(j_common_ptr) { }

// The pixel count the header claims; 0 when libjpeg cannot read a header.
std::int64_t claimedPixels(
    jpeg_decompress_struct& info, JpegErrorJump& errors, const std::uint8_t* data, std::size_t size)
{
    if (setjmp(errors.returnPoint))
        return 0;
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, size);
    jpeg_read_header(&info, TRUE);
    return static_cast<std::int64_t>(info.image_width) * info.image_height;
}

bool fitsTheTimeLimit(const std::uint8_t* data, std::size_t size)
{
    jpeg_decompress_struct info{};
    JpegErrorJump errors{};
    info.err = errors.jumpOnError();
    errors.manager.output_message = discardMessage;
    const std::int64_t pixels = claimedPixels(info, errors, data, size);
    jpeg_destroy_decompress(&info);
    return pixels <= kMaxFuzzedPixels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (!fitsTheTimeLimit(data, size))
        return 0;
    const CameraJpegPicture picture(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    for (const int factor : {2, 4, 8})
        picture.encode(factor);
    QByteArray pixels;
    std::int32_t width = 0, height = 0, channels = 0;
    if (!decodeJpeg(data, size, pixels, width, height, channels))
        return 0;
    const std::int64_t samples = static_cast<std::int64_t>(width) * height * channels;
    if ((channels != 1 && channels != 3) || pixels.size() != samples || picture.width() != width ||
        picture.height() != height)
        std::abort();
    const QByteArray planar = toPlanar(pixels, width, height, channels);
    if (planar.size() != samples)
        std::abort();
    QByteArray planes;
    std::int32_t planarWidth = 0, planarHeight = 0, planarChannels = 0;
    if (!decodeJpegPlanar(data, size, planes, planarWidth, planarHeight, planarChannels) || planes != planar ||
        planarWidth != width || planarHeight != height || planarChannels != channels)
        std::abort();
    return 0;
}
