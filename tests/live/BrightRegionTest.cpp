#include "live/BrightRegion.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr std::int32_t kUntouched = -7;
constexpr std::uint8_t kBackground = 10;
constexpr std::uint8_t kBright = 255;

struct Frame {
    std::int32_t width, height;
    std::vector<std::uint8_t> samples;

    Frame(std::int32_t w, std::int32_t h, std::uint8_t value)
        : width(w), height(h), samples(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), value)
    {
    }
    void fill(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom, std::uint8_t value)
    {
        for (std::int32_t y = top; y <= bottom; ++y)
            for (std::int32_t x = left; x <= right; ++x)
                samples[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] =
                    value;
    }
};

struct Region {
    std::int32_t x0 = kUntouched, x1 = kUntouched, y0 = kUntouched, y1 = kUntouched;
    bool operator==(const Region& other) const
    {
        return x0 == other.x0 && x1 == other.x1 && y0 == other.y0 && y1 == other.y1;
    }
};

std::ostream& operator<<(std::ostream& out, const Region& r)
{
    return out << "x " << r.x0 << ".." << r.x1 << ", y " << r.y0 << ".." << r.y1;
}

bool search(const Frame& frame, Region& region)
{
    return findBrightRegion(
        frame.samples.data(), frame.width, frame.height, region.x0, region.x1, region.y0, region.y1);
}

Frame withBox(
    std::int32_t w, std::int32_t h, std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom)
{
    Frame frame(w, h, kBackground);
    frame.fill(left, top, right, bottom, kBright);
    return frame;
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
        {"pixel in the middle", withBox(1000, 1000, 500, 300, 500, 300), {498, 502, 298, 302}},
        {"pixel near the top left", withBox(1000, 1000, 2, 0, 2, 0), {1, 4, 1, 2}},
        {"pixel in the bottom right corner", withBox(1000, 1000, 998, 998, 998, 998), {996, 998, 996, 998}},
        {"pixel in a small frame", withBox(20, 10, 5, 5, 5, 5), {4, 6, 4, 6}},
        {"object on the left border", withBox(1000, 1000, 0, 100, 49, 199), {1, 52, 91, 207}},
    };
    for (const auto& c : cases) {
        Region region;
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
        {"black", Frame(100, 80, 0)},
        {"flat", Frame(100, 80, 200)},
        {"bright pixel in a 2 x 2 frame", withBox(2, 2, 0, 0, 0, 0)},
        {"bright pixel in a one-row frame", withBox(50, 1, 25, 0, 25, 0)},
        {"no pixels", Frame(0, 0, 0)},
    };
    for (const auto& c : cases) {
        Region region;
        EXPECT_FALSE(search(c.frame, region)) << c.what;
        EXPECT_EQ(region, Region()) << c.what;
    }
}

}  // namespace
