// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/BandStretch.h"

#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

#include "stretch/ChannelStretch.h"
#include "stretch/StretchRows.h"

namespace {

constexpr float kByteFullScale = 255.0f;
constexpr int kEverySample = 1;
// Every task costs the producer a wake-up of a pool thread, about as much as
// rendering a few rows: a task per eighth of the picture leaves little of
// the render after the last rows while adding little to the producer.
constexpr std::int32_t kTasksPerPicture = 8;

StretchLookupTable<std::uint8_t> tableOf(const StretchChannelParams& params)
{
    return StretchLookupTable<std::uint8_t>(ChannelStretch<std::uint8_t>(params, kByteFullScale));
}

}  // namespace

BandStretch::BandStretch(const StretchParams& params, const std::uint8_t* planes, std::int32_t width,
    std::int32_t height, std::int32_t channels, QImage* picture)
    : planes_(planes), width_(width), planeSize_(static_cast<std::int64_t>(width) * height), channels_(channels),
      rowsPerTask_(std::max(1, (height + kTasksPerPicture - 1) / kTasksPerPicture)),
      // Detached here, once: the tasks must not touch the shared image header.
      bits_(picture->bits()), bytesPerLine_(picture->bytesPerLine()), red_(tableOf(params.channel[0])),
      green_(tableOf(params.channel[1])), blue_(tableOf(params.channel[2]))
{
}

BandStretch::~BandStretch()
{
    waitForRows();
}

void BandStretch::renderRows(std::int32_t firstRow, std::int32_t rowCount)
{
    if (pendingRows_ == 0)
        firstPendingRow_ = firstRow;
    pendingRows_ += rowCount;
    if (pendingRows_ >= rowsPerTask_)
        startPendingRows();
}

void BandStretch::startPendingRows()
{
    const std::int32_t firstRow = firstPendingRow_;
    const std::int32_t rowCount = pendingRows_;
    pendingRows_ = 0;
    const auto width = static_cast<int>(width_);
    const std::uint8_t* firstSamples = planes_ + firstRow * width_;
    uchar* firstLine = bits_ + firstRow * bytesPerLine_;
    const auto task = [=, planeSize = planeSize_, bytesPerLine = bytesPerLine_, colour = channels_ != 1,
                          red = red_.view(), green = green_.view(), blue = blue_.view()] {
        for (std::int32_t row = 0; row < rowCount; ++row) {
            const std::uint8_t* samples = firstSamples + row * static_cast<std::int64_t>(width);
            uchar* line = firstLine + row * bytesPerLine;
            if (colour)
                stretch_rows::stretchRowThreeChannels(samples, planeSize, width, kEverySample, line, red, green, blue);
            else
                stretch_rows::stretchRowOneChannel(samples, width, kEverySample, line, red);
        }
    };
    bands_.append(QtConcurrent::run(QThreadPool::globalInstance(), task));
}

void BandStretch::waitForRows()
{
    if (pendingRows_ > 0)
        startPendingRows();
    for (QFuture<void>& band : bands_)
        band.waitForFinished();
    bands_.clear();
}
