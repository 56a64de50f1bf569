// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/PictureReduction.h"

#include "stretch/ParallelBands.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace {

// A band's rows: fewer output rows than this stay on one thread.
constexpr std::int64_t kMinBandRows = 16;
constexpr int kMaxFactor = 8;

// The mean of `count` samples whose sum is `sum`, rounded to nearest.
inline std::uint8_t mean(std::uint32_t sum, std::uint32_t count)
{
    return static_cast<std::uint8_t>((sum + count / 2) / count);
}

// Output rows are made a column chunk at a time: the chunk's input rows are
// first summed down the columns (contiguous adds the compiler vectorises),
// then across each block; 8 rows of 255 fit in 16 bits.
constexpr int kChunkPixels = 512;
static_assert(kChunkPixels % kMaxFactor == 0, "chunks of whole blocks");

// Each byte of a pixel is averaged on its own: a colour pixel's unused byte,
// 0xFF everywhere, stays 0xFF. The four 16-bit column sums of a colour pixel go as one word: summed
// across a block, they stay below 8 x 8 x 255, so no lane carries into the next.
constexpr int kLanes = 4;

template <int Factor, bool FullRows>
void blockMeansByWords(const std::uint16_t* sums, int blocks, int rows, std::uint8_t* output)
{
    const std::uint32_t count = (FullRows ? Factor : static_cast<std::uint32_t>(rows)) * Factor;
    for (int block = 0; block < blocks; ++block, sums += Factor * kLanes, output += kLanes) {
        std::uint64_t sum = 0;
        for (int column = 0; column < Factor; ++column) {
            std::uint64_t word = 0;
            std::memcpy(&word, sums + column * kLanes, sizeof word);
            sum += word;
        }
        std::uint16_t lanes[kLanes];
        std::memcpy(lanes, &sum, sizeof lanes);
        for (int lane = 0; lane < kLanes; ++lane)
            output[lane] = mean(lanes[lane], count);
    }
}

// The means of the blocks across `pixels` column sums of Bytes bytes a pixel,
// each sum over `rows` rows (Factor with FullRows, so that the compiler
// divides by a constant); the last block takes the columns left.
template <int Factor, int Bytes, bool FullRows>
void blockMeans(const std::uint16_t* sums, int pixels, int rows, std::uint8_t* output)
{
    const std::uint32_t rowCount = FullRows ? Factor : static_cast<std::uint32_t>(rows);
    const int fullBlocks = pixels / Factor;
    if constexpr (Bytes == kLanes) {
        blockMeansByWords<Factor, FullRows>(sums, fullBlocks, rows, output);
    } else {
        for (int block = 0; block < fullBlocks; ++block) {
            for (int byte = 0; byte < Bytes; ++byte) {
                std::uint32_t sum = 0;
                for (int column = 0; column < Factor; ++column)
                    sum += sums[(block * Factor + column) * Bytes + byte];
                output[block * Bytes + byte] = mean(sum, rowCount * Factor);
            }
        }
    }
    const int columns = pixels - fullBlocks * Factor;
    for (int byte = 0; columns > 0 && byte < Bytes; ++byte) {
        std::uint32_t sum = 0;
        for (int column = 0; column < columns; ++column)
            sum += sums[(fullBlocks * Factor + column) * Bytes + byte];
        output[fullBlocks * Bytes + byte] = mean(sum, rowCount * static_cast<std::uint32_t>(columns));
    }
}

// One output row from the `rows` input rows (Factor, fewer at the bottom) of
// its blocks of Factor x Factor pixels of Bytes bytes.
template <int Factor, int Bytes>
void reduceRow(const std::uint8_t* const* input, int rows, int width, std::uint8_t* output)
{
    std::uint16_t sums[kChunkPixels * Bytes];
    for (int first = 0; first < width; first += kChunkPixels) {
        const int pixels = std::min(kChunkPixels, width - first);
        const int count = pixels * Bytes;
        const std::uint8_t* top = input[0] + first * Bytes;
        for (int i = 0; i < count; ++i)
            sums[i] = top[i];
        for (int row = 1; row < rows; ++row) {
            const std::uint8_t* samples = input[row] + first * Bytes;
            for (int i = 0; i < count; ++i)
                sums[i] = static_cast<std::uint16_t>(sums[i] + samples[i]);
        }
        std::uint8_t* target = output + first / Factor * Bytes;
        if (rows == Factor)
            blockMeans<Factor, Bytes, true>(sums, pixels, rows, target);
        else
            blockMeans<Factor, Bytes, false>(sums, pixels, rows, target);
    }
}

using RowReducer = void (*)(const std::uint8_t* const*, int, int, std::uint8_t*);

template <int Bytes>
RowReducer rowReducerOf(int factor)
{
    switch (factor) {
    case 2:
        return reduceRow<2, Bytes>;
    case 4:
        return reduceRow<4, Bytes>;
    case 8:
        return reduceRow<8, Bytes>;
    default:
        return nullptr;
    }
}

// Fills every row of `reduced` from the rows of `picture` it covers.
void reduceRows(const PictureBuffer& picture, int factor, RowReducer reduceRow, const PictureBuffer& reduced)
{
    const int width = picture.width();
    const int height = picture.height();
    runInBands(reduced.height(), kMinBandRows, [&](std::int64_t begin, std::int64_t end) {
        const std::uint8_t* input[kMaxFactor];
        for (std::int64_t y = begin; y < end; ++y) {
            const int firstRow = static_cast<int>(y) * factor;
            const int rows = std::min(factor, height - firstRow);
            for (int row = 0; row < rows; ++row)
                input[row] = picture.row(firstRow + row);
            reduceRow(input, rows, width, reduced.writableRow(static_cast<std::int32_t>(y)));
        }
    });
}

}  // namespace

PictureBuffer reducePicture(const PictureBuffer& picture, int factor)
{
    if (picture.isNull())
        return {};
    const RowReducer reduceRow = picture.channels() == 1 ? rowReducerOf<1>(factor) : rowReducerOf<4>(factor);
    if (reduceRow == nullptr)
        return {};
    try {
        PictureBuffer reduced(
            (picture.width() + factor - 1) / factor, (picture.height() + factor - 1) / factor, picture.channels());
        if (reduced.isNull())
            return {};
        reduceRows(picture, factor, reduceRow, reduced);
        return reduced;
    } catch (const std::bad_alloc&) {
        return {};  // a picture too large for the memory left is just not reduced
    }
}
