// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/FrameDecoding.h"

#include <QtEndian>

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include <jpeglib.h>

#include "stretch/JpegErrorJump.h"

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace {

constexpr std::int64_t kMaxSampleCount = std::numeric_limits<std::int32_t>::max();
// Every coded 8x8 block takes at least one bit of entropy-coded data.
constexpr std::int64_t kMinBlocksPerByte = 8;
constexpr int kColourChannels = 3;
// Rows decoded at once, and told of at once: a colour band is spread over the
// planes before the next is read, a few kilobytes a row, so it stays in the cache.
constexpr JDIMENSION kBandRows = 16;
constexpr int kSamplesPerStore = 8;

// Where a fatal error jumps back to, and the progress hook that ends a
// cancelled decode the same way.
struct DecoderErrors : JpegErrorJump {
    jpeg_progress_mgr progress;
    const std::atomic<bool>* cancelled;
};

// Called by libjpeg between rows and input passes.
void stopIfCancelled(j_common_ptr info)
{
    const std::atomic<bool>* cancelled = static_cast<DecoderErrors&>(JpegErrorJump::of(info)).cancelled;
    if (cancelled->load(std::memory_order_relaxed))
        JpegErrorJump::jumpBack(info);
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

// Tells the caller of decodeJpegPlanar of each band of rows as it is done.
struct RowsNotice {
    const RowsDecoded& rowsDecoded;
    DecodedRows picture;

    void operator()(JDIMENSION firstRow, JDIMENSION rowCount) const
    {
        if (!rowsDecoded)
            return;
        DecodedRows rows = picture;
        rows.firstRow = static_cast<std::int32_t>(firstRow);
        rows.rowCount = static_cast<std::int32_t>(rowCount);
        rowsDecoded(rows);
    }
};

// The rows of the next band: kBandRows, fewer at the bottom.
JDIMENSION nextBandRows(const jpeg_decompress_struct& info)
{
    return std::min(kBandRows, info.output_height - info.output_scanline);
}

// Reads the next `count` scan lines into `rows`, as many per call as libjpeg
// gives. Called only under a setjmp return point.
bool readRows(jpeg_decompress_struct& info, JSAMPARRAY rows, JDIMENSION count)
{
    for (JDIMENSION read = 0; read < count;) {
        const JDIMENSION more = jpeg_read_scanlines(&info, rows + read, count - read);
        if (more == 0)
            return false;  // a memory source never suspends; stop rather than spin
        read += more;
    }
    return true;
}

// Writes `count` interleaved red, green, blue pixels into the three planes,
// eight samples of a plane per store: byte stores would bound the loop.
void spreadOverPlanesByWords(const unsigned char* pixels, std::size_t count, unsigned char* const planes[])
{
    std::size_t i = 0;
    for (; i + kSamplesPerStore <= count; i += kSamplesPerStore, pixels += kSamplesPerStore * kColourChannels) {
        for (int channel = 0; channel < kColourChannels; ++channel) {
            std::uint64_t samples = 0;
#pragma GCC unroll 8
            for (int k = 0; k < kSamplesPerStore; ++k)
                samples |= std::uint64_t{pixels[k * kColourChannels + channel]} << (8 * k);
            samples = qToLittleEndian(samples);
            std::memcpy(planes[channel] + i, &samples, sizeof samples);
        }
    }
    for (; i < count; ++i, pixels += kColourChannels) {
        for (int channel = 0; channel < kColourChannels; ++channel)
            planes[channel][i] = pixels[channel];
    }
}

// The spread by vector shuffles, sixteen pixels at a time; it answers how
// many pixels it wrote, and the rest go by words.
#if defined(__x86_64__)
constexpr std::size_t kVectorPixels = 16;
constexpr unsigned char kNoByte = 0x80;  // pshufb writes 0 for it

// The pshufb selectors that gather channel `channel` of sixteen pixels from
// the `part`th of their three 16-byte parts.
constexpr std::array<unsigned char, kVectorPixels> gatherSelector(int channel, std::size_t part)
{
    std::array<unsigned char, kVectorPixels> selector{};
    for (std::size_t pixel = 0; pixel < kVectorPixels; ++pixel) {
        const std::size_t byte = pixel * kColourChannels + static_cast<std::size_t>(channel);
        selector[pixel] = byte / kVectorPixels == part ? static_cast<unsigned char>(byte % kVectorPixels) : kNoByte;
    }
    return selector;
}

__attribute__((target("ssse3"))) std::size_t spreadOverPlanesByVectors(
    const unsigned char* pixels, std::size_t count, unsigned char* const planes[])
{
    static constexpr std::array<std::array<unsigned char, kVectorPixels>, kColourChannels * kColourChannels>
        selectors = {gatherSelector(0, 0), gatherSelector(0, 1), gatherSelector(0, 2), gatherSelector(1, 0),
            gatherSelector(1, 1), gatherSelector(1, 2), gatherSelector(2, 0), gatherSelector(2, 1),
            gatherSelector(2, 2)};
    __m128i masks[kColourChannels * kColourChannels];
    for (std::size_t k = 0; k < selectors.size(); ++k)
        masks[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(selectors[k].data()));
    std::size_t i = 0;
    for (; i + kVectorPixels <= count; i += kVectorPixels, pixels += kVectorPixels * kColourChannels) {
        const __m128i parts[kColourChannels] = {_mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels)),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + kVectorPixels)),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 2 * kVectorPixels))};
        for (int channel = 0; channel < kColourChannels; ++channel) {
            const __m128i* mask = masks + channel * kColourChannels;
            const __m128i samples = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(parts[0], mask[0]),
                                                     _mm_shuffle_epi8(parts[1], mask[1])),
                _mm_shuffle_epi8(parts[2], mask[2]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[channel] + i), samples);
        }
    }
    return i;
}

bool cpuHasVectorShuffles()
{
    static const bool hasSsse3 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("ssse3") != 0;
    }();
    return hasSsse3;
}
#elif defined(__aarch64__)
constexpr std::size_t kVectorPixels = 16;

std::size_t spreadOverPlanesByVectors(const unsigned char* pixels, std::size_t count, unsigned char* const planes[])
{
    std::size_t i = 0;
    for (; i + kVectorPixels <= count; i += kVectorPixels, pixels += kVectorPixels * kColourChannels) {
        const uint8x16x3_t samples = vld3q_u8(pixels);
        for (int channel = 0; channel < kColourChannels; ++channel)
            vst1q_u8(planes[channel] + i, samples.val[channel]);
    }
    return i;
}

bool cpuHasVectorShuffles() { return true; }
#else
std::size_t spreadOverPlanesByVectors(const unsigned char*, std::size_t, unsigned char* const[]) { return 0; }

bool cpuHasVectorShuffles() { return false; }
#endif

// Writes `count` interleaved red, green, blue pixels into three planes
// planeSize bytes apart.
void spreadOverPlanes(const unsigned char* pixels, std::size_t count, unsigned char* red, std::size_t planeSize)
{
    unsigned char* planes[kColourChannels] = {red, red + planeSize, red + 2 * planeSize};
    const std::size_t spread = cpuHasVectorShuffles() ? spreadOverPlanesByVectors(pixels, count, planes) : 0;
    for (unsigned char*& plane : planes)
        plane += spread;
    spreadOverPlanesByWords(pixels + spread * kColourChannels, count - spread, planes);
}

// Reads the scan lines a band of kBandRows at a time, then finishes
// decompression: straight into `rows` (one per scan line), or, with `planes`,
// into `rows` as a band whose rows are then spread over the red, green and
// blue planes. The band is filled before it is spread: libjpeg gives a row or
// two per call, and writing each call's rows to the band's first rows made
// the whole decode up to a fifth slower, depending on where the band lay in
// memory.
bool readBands(jpeg_decompress_struct& info, DecoderErrors& errors, JSAMPARRAY rows, unsigned char* planes,
    const RowsNotice& notice)
{
    if (setjmp(errors.returnPoint))
        return false;
    const std::size_t width = info.output_width;
    const std::size_t planeSize = width * info.output_height;
    while (info.output_scanline < info.output_height) {
        const JDIMENSION firstRow = info.output_scanline;
        const JDIMENSION count = nextBandRows(info);
        if (!readRows(info, planes != nullptr ? rows : rows + firstRow, count))
            return false;
        if (planes != nullptr)
            spreadOverPlanes(rows[0], count * width, planes + firstRow * width, planeSize);
        notice(firstRow, count);
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

// decodeJpeg, with `planar` decodeJpegPlanar, with a `reduction` above 1 decodeJpegReduced.
bool decode(const unsigned char* bytes, unsigned long length, QByteArray& pixels, std::int32_t& width,
    std::int32_t& height, std::int32_t& channels, const std::atomic<bool>* cancelled, bool planar,
    const RowsDecoded& rowsDecoded, int reduction = 1)
{
    jpeg_decompress_struct info{};
    DecoderErrors errors{};
    info.err = errors.jumpOnError();
    const DecompressionGuard guard{info};
    errors.cancelled = cancelled;
    errors.progress.progress_monitor = stopIfCancelled;

    if (!readHeader(info, errors, bytes, length))
        return false;
    info.scale_num = 1;
    info.scale_denom = static_cast<unsigned int>(reduction);
    if (!startDecompression(info, errors))
        return false;
    channels = info.output_components;
    if (channels != 1 && channels != kColourChannels) {
        abortDecompression(info, errors);
        return false;
    }

    const auto pictureWidth = static_cast<std::int32_t>(info.output_width);
    const auto pictureHeight = static_cast<std::int32_t>(info.output_height);
    const std::size_t rowBytes = static_cast<std::size_t>(pictureWidth) * static_cast<std::size_t>(channels);
    // Grey pictures are planar as they come; colour ones go through a band.
    const bool throughBand = planar && channels == kColourChannels;
    std::vector<JSAMPROW> rows;
    std::vector<unsigned char> band;
    try {
        pixels.resize(static_cast<qsizetype>(rowBytes * static_cast<std::size_t>(pictureHeight)));
        rows.resize(throughBand ? kBandRows : static_cast<std::size_t>(pictureHeight));
        band.resize(throughBand ? kBandRows * rowBytes : 0);
    } catch (const std::bad_alloc&) {
        return false;  // a picture too large for the memory left is just not decoded
    }
    auto* const target = reinterpret_cast<unsigned char*>(pixels.data());
    unsigned char* const firstRow = throughBand ? band.data() : target;
    for (std::size_t row = 0; row < rows.size(); ++row)
        rows[row] = firstRow + row * rowBytes;
    const RowsNotice notice{rowsDecoded, {target, pictureWidth, pictureHeight, channels, 0, 0}};
    if (!readBands(info, errors, rows.data(), throughBand ? target : nullptr, notice))
        return false;
    width = pictureWidth;
    height = pictureHeight;
    return true;
}

}  // namespace

bool decodeJpeg(const unsigned char* bytes, unsigned long length, QByteArray& pixels, std::int32_t& width,
    std::int32_t& height, std::int32_t& channels, const std::atomic<bool>* cancelled)
{
    return decode(bytes, length, pixels, width, height, channels, cancelled, false, {});
}

bool decodeJpegPlanar(const unsigned char* bytes, unsigned long length, QByteArray& planes, std::int32_t& width,
    std::int32_t& height, std::int32_t& channels, const std::atomic<bool>* cancelled, const RowsDecoded& rowsDecoded)
{
    return decode(bytes, length, planes, width, height, channels, cancelled, true, rowsDecoded);
}

bool decodeJpegReduced(const unsigned char* bytes, unsigned long length, int reduction, QByteArray& pixels,
    std::int32_t& width, std::int32_t& height, std::int32_t& channels)
{
    if (reduction != 1 && reduction != 2 && reduction != 4 && reduction != 8)
        return false;
    return decode(bytes, length, pixels, width, height, channels, nullptr, false, {}, reduction);
}

bool readJpegSize(const unsigned char* bytes, unsigned long length, std::int32_t& width, std::int32_t& height)
{
    jpeg_decompress_struct info{};
    DecoderErrors errors{};
    info.err = errors.jumpOnError();
    const DecompressionGuard guard{info};
    if (!readHeader(info, errors, bytes, length) ||
        (info.num_components != 1 && info.num_components != kColourChannels))
        return false;
    width = static_cast<std::int32_t>(info.image_width);
    height = static_cast<std::int32_t>(info.image_height);
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
