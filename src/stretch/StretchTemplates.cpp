// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/StretchTemplates.h"

#include <QFuture>
#include <QList>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "stretch/ChannelStretch.h"
#include "stretch/StretchLookupTable.h"
#include "stretch/StretchRows.h"

namespace {

using stretch_rows::stretchRowOneChannel;
using stretch_rows::stretchRowThreeChannels;

constexpr int kOneChannel = 1;
constexpr int kThreeChannels = 3;
constexpr std::int64_t kMinTaskOutputBytes = 64 * 1024;

// 8- and 16-bit integer samples are stretched through a table of every value.
template <typename T>
constexpr bool kUsesLookupTable = std::is_integral_v<T> && sizeof(T) <= 2;

float fullScaleOf(int inputRange)
{
    return static_cast<float>(inputRange > 1 ? inputRange - 1 : inputRange);
}

std::int64_t outputExtent(int extent, int sampling)
{
    return (static_cast<std::int64_t>(extent) + sampling - 1) / sampling;
}

// The tasks write ceil(extent / sampling) pixels per axis: anything smaller
// or of other channels would be written out of bounds.
bool imageFits(const PictureBuffer* image, int channels, int height, int width, int sampling)
{
    if (image == nullptr || sampling < 1 || !image->isWritable() || image->channels() != channels) {
        return false;
    }
    return image->height() >= outputExtent(height, sampling) && image->width() >= outputExtent(width, sampling);
}

// Hands `body` the cheapest per-sample stretch for T: a table view for 8 and
// 16 bits (the table lives until `body` returns), else the arithmetic itself.
template <typename T, typename Body>
void withSampleStretch(const ChannelStretch<T>& stretch, Body&& body)
{
    if constexpr (kUsesLookupTable<T>) {
        const StretchLookupTable<T> table(stretch);
        body(table.view());
    } else {
        body(stretch);
    }
}

// The per-sample arithmetic holds a fused multiply-subtract. On x86 the
// baseline has no such instruction and std::fma is a (fused, much slower)
// libm call, so the row loops are compiled a second time for the FMA set and
// chosen at run time (not by target_clones, whose ifunc resolvers break under
// ThreadSanitizer). Other targets, aarch64 among them, have it in their base set.
#if defined(__x86_64__) || defined(__i386__)
#define STRETCH_TARGET_FMA __attribute__((target("fma")))
#else
#define STRETCH_TARGET_FMA
#endif

template <typename T, typename Stretch>
STRETCH_TARGET_FMA void stretchRowOneChannelFma(const T* row, int width, int sampling, uchar* line, Stretch stretch)
{
    stretchRowOneChannel(row, width, sampling, line, stretch);
}

template <typename T, typename Stretch>
STRETCH_TARGET_FMA void stretchRowThreeChannelsFma(const T* redRow, std::int64_t planeSize, int width, int sampling,
    uchar* line, Stretch red, Stretch green, Stretch blue)
{
    stretchRowThreeChannels(redRow, planeSize, width, sampling, line, red, green, blue);
}

bool cpuHasFma()
{
#if defined(__x86_64__) || defined(__i386__)
    static const bool hasFma = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("fma") != 0;
    }();
    return hasFma;
#else
    return false;
#endif
}

// Table lookups need no fused operation, only the per-sample formula does.
template <typename T>
bool rowsUseFmaInstruction()
{
    return !kUsesLookupTable<T> && cpuHasFma();
}

// Starts tasks on the global pool that run rowTask(inputRow, outputRow) for
// every visited row, in row order, a group of rows per task, then waits for
// all of them in the same order, telling rowsStretched (unless empty) of each
// group done. A task writes at least kMinTaskOutputBytes:
// one task per row costs more in scheduling than a narrow row takes.
template <typename RowTask>
void runRowTasks(
    int height, int sampling, std::int64_t outputRowBytes, const RowsStretched& rowsStretched, const RowTask& rowTask)
{
    const std::int64_t outputRows = outputExtent(height, sampling);
    const std::int64_t rowsPerTask = std::max<std::int64_t>(
        1, (kMinTaskOutputBytes + outputRowBytes - 1) / std::max<std::int64_t>(1, outputRowBytes));
    QList<QFuture<void>> futures;
    futures.reserve((outputRows + rowsPerTask - 1) / rowsPerTask);
    for (std::int64_t firstRow = 0; firstRow < outputRows; firstRow += rowsPerTask) {
        const std::int64_t endRow = std::min(outputRows, firstRow + rowsPerTask);
        futures.append(QtConcurrent::run(QThreadPool::globalInstance(), [rowTask, firstRow, endRow, sampling] {
            for (std::int64_t outputRow = firstRow; outputRow < endRow; ++outputRow) {
                rowTask(outputRow * sampling, outputRow);
            }
        }));
    }
    for (qsizetype task = 0; task < futures.size(); ++task) {
        futures[task].waitForFinished();
        if (rowsStretched) {
            rowsStretched(std::min<std::int64_t>(outputRows, (task + 1) * rowsPerTask));
        }
    }
}

}  // namespace

template <typename T>
void stretchOneChannel(const T* samples, const PictureBuffer* image, const StretchParams& params, int inputRange,
    int height, int width, int sampling, const RowsStretched& rowsStretched)
{
    if (samples == nullptr || height < 1 || width < 1 || !imageFits(image, kOneChannel, height, width, sampling)) {
        return;
    }
    uchar* const bits = image->writableRow(0);
    const std::ptrdiff_t bytesPerLine = image->stride();
    const ChannelStretch<T> stretch(params.channel[0], fullScaleOf(inputRange));
    const bool fused = rowsUseFmaInstruction<T>();
    withSampleStretch(stretch, [&](auto grey) {
        runRowTasks(height, sampling, outputExtent(width, sampling), rowsStretched,
            [=](std::int64_t inputRow, std::int64_t outputRow) {
                const T* row = samples + inputRow * width;
                uchar* line = bits + outputRow * bytesPerLine;
                if (fused) {
                    stretchRowOneChannelFma(row, width, sampling, line, grey);
                } else {
                    stretchRowOneChannel(row, width, sampling, line, grey);
                }
            });
    });
}

template <typename T>
void stretchThreeChannels(const T* samples, const PictureBuffer* image, const StretchParams& params, int inputRange,
    int height, int width, int sampling, const RowsStretched& rowsStretched)
{
    if (samples == nullptr || height < 1 || width < 1 || !imageFits(image, kThreeChannels, height, width, sampling)) {
        return;
    }
    uchar* const bits = image->writableRow(0);
    const std::ptrdiff_t bytesPerLine = image->stride();
    const std::int64_t planeSize = static_cast<std::int64_t>(width) * height;
    const float fullScale = fullScaleOf(inputRange);
    const ChannelStretch<T> redStretch(params.channel[0], fullScale);
    const ChannelStretch<T> greenStretch(params.channel[1], fullScale);
    const ChannelStretch<T> blueStretch(params.channel[2], fullScale);
    const bool fused = rowsUseFmaInstruction<T>();
    withSampleStretch(redStretch, [&](auto red) {
        withSampleStretch(greenStretch, [&](auto green) {
            withSampleStretch(blueStretch, [&](auto blue) {
                const std::int64_t outputRowBytes = outputExtent(width, sampling) * sizeof(std::uint32_t);
                runRowTasks(height, sampling, outputRowBytes, rowsStretched,
                    [=](std::int64_t inputRow, std::int64_t outputRow) {
                        const T* redRow = samples + inputRow * width;
                        uchar* line = bits + outputRow * bytesPerLine;
                        if (fused) {
                            stretchRowThreeChannelsFma(redRow, planeSize, width, sampling, line, red, green, blue);
                        } else {
                            stretchRowThreeChannels(redRow, planeSize, width, sampling, line, red, green, blue);
                        }
                    });
            });
        });
    });
}

#define STRETCH_INSTANTIATE(T)                                                                                         \
    template void stretchOneChannel<T>(                                                                                \
        const T*, const PictureBuffer*, const StretchParams&, int, int, int, int, const RowsStretched&);               \
    template void stretchThreeChannels<T>(                                                                             \
        const T*, const PictureBuffer*, const StretchParams&, int, int, int, int, const RowsStretched&);

STRETCH_INSTANTIATE(std::uint8_t)
STRETCH_INSTANTIATE(std::uint16_t)
STRETCH_INSTANTIATE(std::int16_t)
STRETCH_INSTANTIATE(long)
STRETCH_INSTANTIATE(float)
STRETCH_INSTANTIATE(long long)
STRETCH_INSTANTIATE(double)

#undef STRETCH_INSTANTIATE
