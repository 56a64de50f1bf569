#include "TestJpeg.h"

#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

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

}  // namespace

QByteArray encodeJpeg(const std::vector<std::uint8_t>& samples, int width, int height, int components, bool progressive)
{
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* output = nullptr;
    unsigned long outputBytes = 0;
    jpeg_mem_dest(&info, &output, &outputBytes);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = components;
    info.in_color_space = colourSpace(components);
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, kQuality, TRUE);
    if (progressive)
        jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    const std::size_t rowBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(components);
    while (info.next_scanline < info.image_height) {
        JSAMPROW rows[] = {const_cast<std::uint8_t*>(samples.data()) + info.next_scanline * rowBytes};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    QByteArray jpeg(reinterpret_cast<const char*>(output), static_cast<qsizetype>(outputBytes));
    std::free(output);
    return jpeg;
}

QByteArray claimingSize(QByteArray jpeg, int width, int height)
{
    // The baseline frame header holds the height and width as 16-bit numbers, 5 bytes after its marker.
    const char size[] = {char(height >> 8), char(height), char(width >> 8), char(width)};
    return jpeg.replace(jpeg.indexOf("\xFF\xC0") + 5, 4, QByteArray(size, 4));
}
