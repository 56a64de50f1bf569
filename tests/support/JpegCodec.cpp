#include "JpegCodec.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace quelmor::test {

namespace {

constexpr int kQuality = 90;

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

std::string encodeSolidJpeg(int width, int height, Rgb colour)
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
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, kQuality, TRUE);
    jpeg_start_compress(&info, TRUE);
    std::vector<unsigned char> row(static_cast<std::size_t>(width) * 3);
    for (int x = 0; x < width; ++x) {
        row[static_cast<std::size_t>(x) * 3] = colour.red;
        row[static_cast<std::size_t>(x) * 3 + 1] = colour.green;
        row[static_cast<std::size_t>(x) * 3 + 2] = colour.blue;
    }
    while (info.next_scanline < info.image_height) {
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::string jpeg(reinterpret_cast<const char*>(output), output_bytes);
    std::free(output);
    return jpeg;
}

bool decodeJpeg(const std::string& jpeg, int& width, int& height, std::vector<unsigned char>& rgb)
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
