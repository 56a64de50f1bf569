// SPDX-License-Identifier: GPL-3.0-or-later
// Rendering band by band, in bands of any size, gives the whole-frame render.
#include "stretch/BandStretch.h"

#include "stretch/StretchRenderer.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "StretchTestSupport.h"

TEST(BandStretch, BandsGiveTheWholeFrameRender)
{
    constexpr int kWidth = 333;
    constexpr int kHeight = 97;
    std::mt19937 random(11);
    std::uniform_int_distribution<int> value(0, 255);
    std::vector<std::uint8_t> samples(3 * kWidth * kHeight);
    for (auto& s : samples)
        s = static_cast<std::uint8_t>(value(random));
    StretchParams params = stretch_test::linkedParams(0.1f, 0.9f, 0.3f);
    params.channel[2] = stretch_test::channelParams(0.02f, 0.5f, 0.7f);
    for (const int channels : {1, 3}) {
        const auto blank = [&] {
            return channels == 1 ? stretch_test::greyImage(kWidth, kHeight) : stretch_test::colourImage(kWidth, kHeight);
        };
        StretchRenderer renderer(kWidth, kHeight, channels, PixelType::UInt8);
        renderer.params = params;
        QImage whole = blank();
        renderer.render(samples.data(), &whole, 1);
        QImage banded = blank();
        const BandStretch bands(params, samples.data(), kWidth, kHeight, channels, &banded);
        for (int first = 0, count = 1; first < kHeight; first += count, count = count * 2 + 1)
            bands.renderRows(first, std::min(count, kHeight - first));
        EXPECT_EQ(banded, whole) << channels << " channels";
    }
}
