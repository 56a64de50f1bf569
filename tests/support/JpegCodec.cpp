// SPDX-License-Identifier: GPL-3.0-or-later
#include "JpegCodec.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace quelmor::test {

namespace {

constexpr int kQuality = 100;

J_COLOR_SPACE colourSpace(int components)
{
    switch (components) {
    case 1:
        return JCS_GRAYSCALE;
    case 4:
        return JCS_CMYK;
    default:
        return JCS_RGB;
    }
}

// libjpeg reports errors through a non-local jump back to the caller.
struct JumpingErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf return_point;
};

void jumpBack(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<JumpingErrorManager*>(info->err)->return_point, 1);
}

}  // namespace

std::string encodeJpeg(
    const std::vector<std::uint8_t>& samples, int width, int height, int components, bool progressive)
{
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* output = nullptr;
    unsigned long output_bytes = 0;
    jpeg_mem_dest(&info, &output, &output_bytes);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = components;
    info.in_color_space = colourSpace(components);
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, kQuality, TRUE);
    if (progressive)
        jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    const std::size_t row_bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(components);
    while (info.next_scanline < info.image_height) {
        JSAMPROW rows[] = {const_cast<std::uint8_t*>(samples.data()) + info.next_scanline * row_bytes};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::string jpeg(reinterpret_cast<const char*>(output), output_bytes);
    std::free(output);
    return jpeg;
}

std::string encodeSolidJpeg(int width, int height, Rgb colour)
{
    std::vector<std::uint8_t> samples;
    samples.reserve(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    for (int i = 0; i < width * height; ++i)
        samples.insert(samples.end(), {colour.red, colour.green, colour.blue});
    return encodeJpeg(samples, width, height, 3);
}

std::string claimingSize(std::string jpeg, int width, int height)
{
    // The baseline frame header holds the height and width as 16-bit numbers, 5 bytes after its marker.
    const char size[] = {char(height >> 8), char(height), char(width >> 8), char(width)};
    return jpeg.replace(jpeg.find("\xFF\xC0") + 5, 4, size, 4);
}

bool decodeJpeg(const std::string& jpeg, int& width, int& height, std::vector<unsigned char>& rgb, unsigned scaleDenom)
{
    jpeg_decompress_struct info{};
    JumpingErrorManager errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = jumpBack;
    if (setjmp(errors.return_point)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    info.scale_denom = scaleDenom;
    jpeg_start_decompress(&info);
    width = static_cast<int>(info.output_width);
    height = static_cast<int>(info.output_height);
    rgb.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3, 0);
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[] = {
            rgb.data() + static_cast<std::size_t>(info.output_scanline) * static_cast<std::size_t>(width) * 3};
        jpeg_read_scanlines(&info, rows, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

Rgb meanColour(const unsigned char* rgb, std::size_t pixels)
{
    unsigned long long sums[3] = {0, 0, 0};
    for (std::size_t i = 0; i < pixels * 3; ++i)
        sums[i % 3] += rgb[i];
    const auto mean = [&](int channel) { return static_cast<unsigned char>(pixels ? sums[channel] / pixels : 0); };
    return Rgb{mean(0), mean(1), mean(2)};
}

bool isNear(Rgb a, Rgb b, int tolerance)
{
    const auto close = [tolerance](int x, int y) { return x - y <= tolerance && y - x <= tolerance; };
    return close(a.red, b.red) && close(a.green, b.green) && close(a.blue, b.blue);
}

}  // namespace quelmor::test
