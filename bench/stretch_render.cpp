// SPDX-License-Identifier: GPL-3.0-or-later
// Renders 6000 x 4000 frames of several sample types with a non-identity
// stretch and prints one line per case:
//   stretch type=... channels=... ms=... mpix_s=... memcpy_ms=... ratio=...
//           ref_ms=... params_ms=... auto_params_ms=...
// ms is the median of several renders on the global thread pool; memcpy_ms
// copies the frame's input bytes once; ref_ms is a plain single-threaded loop
// over the per-sample arithmetic; params_ms and auto_params_ms time
// computeParams(excludeFloor false) and computeAutoParams on the same frame.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "stretch/ChannelStretch.h"
#include "stretch/PictureBuffer.h"
#include "stretch/StretchRenderer.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
constexpr int kRepeats = 5;

double millisecondsOf(const std::function<void()>& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count();
}

double medianMilliseconds(const std::function<void()>& work)
{
    std::vector<double> times;
    for (int i = 0; i < kRepeats; ++i) {
        times.push_back(millisecondsOf(work));
    }
    std::nth_element(times.begin(), times.begin() + kRepeats / 2, times.end());
    return times[kRepeats / 2];
}

// A sky-like frame: a background near 10 % of `top` with noise, and a sprinkle
// of bright pixels.
template <typename T>
std::vector<T> skyFrame(int channels, double top)
{
    std::vector<T> samples(static_cast<std::size_t>(kWidth) * kHeight * channels);
    std::uint32_t state = 12345;
    for (T& sample : samples) {
        state = state * 1664525u + 1013904223u;
        const double noise = static_cast<double>(state >> 8) / 16777216.0;
        const bool star = (state & 0x3FFu) == 0;
        sample = static_cast<T>(star ? top * (0.5 + 0.5 * noise) : top * (0.08 + 0.04 * noise));
    }
    return samples;
}

PictureBuffer outputImage(int channels)
{
    PictureBuffer image(kWidth, kHeight, channels);
    image.fill(0);
    return image;
}

bool sameRows(const PictureBuffer& a, const PictureBuffer& b)
{
    const std::size_t rowBytes = static_cast<std::size_t>(kWidth) * static_cast<std::size_t>(a.bytesPerPixel());
    for (int y = 0; y < kHeight; ++y) {
        if (std::memcmp(a.row(y), b.row(y), rowBytes) != 0) {
            return false;
        }
    }
    return true;
}

// One thread, one sample at a time, straight through the arithmetic.
template <typename T>
void referenceRender(
    const T* samples, const PictureBuffer& image, const StretchParams& params, int inputRange, int channels)
{
    const float fullScale = static_cast<float>(inputRange > 1 ? inputRange - 1 : inputRange);
    const std::size_t plane = static_cast<std::size_t>(kWidth) * kHeight;
    const ChannelStretch<T> red(params.channel[0], fullScale);
    const ChannelStretch<T> green(params.channel[1], fullScale);
    const ChannelStretch<T> blue(params.channel[2], fullScale);
    for (int y = 0; y < kHeight; ++y) {
        std::uint8_t* line = image.writableRow(y);
        const T* row = samples + static_cast<std::size_t>(y) * kWidth;
        for (int x = 0; x < kWidth; ++x) {
            if (channels == 1) {
                line[x] = red(row[x]);
            } else {
                reinterpret_cast<std::uint32_t*>(line)[x] =
                    PictureBuffer::pixelWord(red(row[x]), green(row[plane + x]), blue(row[2 * plane + x]));
            }
        }
    }
}

template <typename T>
void benchmarkCase(const char* typeName, PixelType type, int channels, double top)
{
    const std::vector<T> samples = skyFrame<T>(channels, top);
    const std::size_t bytes = samples.size() * sizeof(T);
    std::vector<char> copy(bytes, 1);
    StretchParams params;
    params.channel.fill(StretchChannelParams{0.05f, 0.6f, 0.2f, 0.0f, 1.0f});

    const PictureBuffer image = outputImage(channels);
    int inputRange = 0;
    const double renderMs = medianMilliseconds([&] {
        StretchRenderer renderer(kWidth, kHeight, channels, type);
        renderer.params = params;
        renderer.render(samples.data(), &image, 1);
        inputRange = renderer.inputRange;
    });
    const double memcpyMs = medianMilliseconds([&] { std::memcpy(copy.data(), samples.data(), bytes); });
    const PictureBuffer referenceImage = outputImage(channels);
    const double referenceMs =
        millisecondsOf([&] { referenceRender(samples.data(), referenceImage, params, inputRange, channels); });
    const bool identical = sameRows(referenceImage, image);
    const double paramsMs = medianMilliseconds([&] {
        StretchRenderer renderer(kWidth, kHeight, channels, type);
        renderer.computeParams(samples.data(), false);
    });
    const double autoParamsMs = medianMilliseconds([&] {
        StretchRenderer renderer(kWidth, kHeight, channels, type);
        renderer.computeAutoParams(samples.data());
    });
    const double megapixels = static_cast<double>(kWidth) * kHeight / 1e6;
    std::printf("stretch type=%s channels=%d width=%d height=%d ms=%.2f mpix_s=%.1f memcpy_ms=%.2f "
                "ratio=%.2f ref_ms=%.1f params_ms=%.2f auto_params_ms=%.2f identical=%s\n",
        typeName, channels, kWidth, kHeight, renderMs, megapixels / (renderMs / 1000.0), memcpyMs, renderMs / memcpyMs,
        referenceMs, paramsMs, autoParamsMs, identical ? "yes" : "no");
    std::fflush(stdout);
}

}  // namespace

int main()
{
    benchmarkCase<std::uint8_t>("u8", PixelType::UInt8, 1, 255.0);
    benchmarkCase<std::uint16_t>("u16", PixelType::UInt16, 1, 65535.0);
    benchmarkCase<std::uint16_t>("u16", PixelType::UInt16, 3, 65535.0);
    benchmarkCase<float>("float", PixelType::Float, 1, 1.0);
    benchmarkCase<std::uint8_t>("u8", PixelType::UInt8, 3, 255.0);
    return 0;
}
