// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/BrightRegion.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

constexpr std::int32_t kUntouched = -7;
constexpr std::uint8_t kBackground = 10;
constexpr std::uint8_t kBright = 255;

using Region = std::array<std::int32_t, 4>;  // x0, x1, y0, y1
constexpr Region kUntouchedRegion = {kUntouched, kUntouched, kUntouched, kUntouched};

struct Frame {
    std::int32_t width, height;
    std::vector<std::uint8_t> samples;
};

// A frame of `fill` with the inclusive box (left, top) to (right, bottom) bright.
Frame frameWithBox(std::int32_t width, std::int32_t height, std::uint8_t fill, std::int32_t left, std::int32_t top,
    std::int32_t right, std::int32_t bottom)
{
    Frame frame{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width * height), fill)};
    for (std::int32_t y = top; y <= bottom; ++y)
        for (std::int32_t x = left; x <= right; ++x)
            frame.samples[static_cast<std::size_t>(y * width + x)] = kBright;
    return frame;
}

bool search(const Frame& frame, Region& r)
{
    return findBrightRegion(frame.samples.data(), frame.width, frame.height, r[0], r[1], r[2], r[3]);
}

// A 1000 x 1000 frame is sampled every 2 pixels, a 20 x 10 one every pixel.
// One bright grid pixel gets one step on each side, kept one pixel inside the
// border; larger objects get a tenth of their size.
TEST(BrightRegionTest, BoxesTheBrightSamplesWithAMargin)
{
    const struct {
        const char* what;
        Frame frame;
        Region expected;
    } cases[] = {
        {"pixel in the middle", frameWithBox(1000, 1000, kBackground, 500, 300, 500, 300), {498, 502, 298, 302}},
        {"pixel near the top left", frameWithBox(1000, 1000, kBackground, 2, 0, 2, 0), {1, 4, 1, 2}},
        {"pixel in the bottom right corner", frameWithBox(1000, 1000, kBackground, 998, 998, 998, 998),
            {996, 998, 996, 998}},
        {"pixel in a small frame", frameWithBox(20, 10, kBackground, 5, 5, 5, 5), {4, 6, 4, 6}},
        {"object on the left border", frameWithBox(1000, 1000, kBackground, 0, 100, 49, 199), {1, 52, 91, 207}},
    };
    for (const auto& c : cases) {
        Region region = kUntouchedRegion;
        EXPECT_TRUE(search(c.frame, region)) << c.what;
        EXPECT_EQ(region, c.expected) << c.what;
    }
}

// Nothing stands out, or no box fits inside the border: false, outputs untouched.
TEST(BrightRegionTest, FailsWithoutABrightRegion)
{
    const struct {
        const char* what;
        Frame frame;
    } cases[] = {
        {"black", frameWithBox(100, 80, 0, 0, 0, -1, -1)},
        {"flat", frameWithBox(100, 80, kBright, 0, 0, -1, -1)},
        {"bright pixel in a 2 x 2 frame", frameWithBox(2, 2, kBackground, 0, 0, 0, 0)},
        {"bright pixel in a one-row frame", frameWithBox(50, 1, kBackground, 25, 0, 25, 0)},
        {"no pixels", frameWithBox(0, 0, 0, 0, 0, -1, -1)},
    };
    for (const auto& c : cases) {
        Region region = kUntouchedRegion;
        EXPECT_FALSE(search(c.frame, region)) << c.what;
        EXPECT_EQ(region, kUntouchedRegion) << c.what;
    }
}

}  // namespace
