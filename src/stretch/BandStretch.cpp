// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/BandStretch.h"

#include "stretch/ChannelStretch.h"
#include "stretch/StretchRows.h"

namespace {

constexpr float kByteFullScale = 255.0f;
constexpr int kEverySample = 1;

StretchLookupTable<std::uint8_t> tableOf(const StretchChannelParams& params)
{
    return StretchLookupTable<std::uint8_t>(ChannelStretch<std::uint8_t>(params, kByteFullScale));
}

}  // namespace

BandStretch::BandStretch(const StretchParams& params, const std::uint8_t* planes, std::int32_t width,
    std::int32_t height, std::int32_t channels, const PictureBuffer& picture)
    : planes_(planes), width_(width), planeSize_(static_cast<std::int64_t>(width) * height), channels_(channels),
      bits_(picture.writableRow(0)), bytesPerLine_(picture.stride()), red_(tableOf(params.channel[0])),
      green_(tableOf(params.channel[1])), blue_(tableOf(params.channel[2]))
{
}

void BandStretch::renderRows(std::int32_t firstRow, std::int32_t rowCount) const
{
    const auto width = static_cast<int>(width_);
    const auto red = red_.view();
    const auto green = green_.view();
    const auto blue = blue_.view();
    for (std::int64_t row = firstRow; row < std::int64_t{firstRow} + rowCount; ++row) {
        const std::uint8_t* samples = planes_ + row * width_;
        std::uint8_t* line = bits_ + row * bytesPerLine_;
        if (channels_ == 1)
            stretch_rows::stretchRowOneChannel(samples, width, kEverySample, line, red);
        else
            stretch_rows::stretchRowThreeChannels(samples, planeSize_, width, kEverySample, line, red, green, blue);
    }
}
