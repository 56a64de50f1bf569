#pragma once

#include <string>
#include <vector>

namespace quelmor::test {

struct Rgb {
    unsigned char red, green, blue;
};

// A real JPEG picture of one colour, made with libjpeg.
std::string encodeSolidJpeg(int width, int height, Rgb colour);

// Decodes a JPEG into interleaved RGB; false for anything libjpeg rejects.
bool decodeJpeg(const std::string& jpeg, int& width, int& height, std::vector<unsigned char>& rgb);

// The mean colour of interleaved RGB pixels.
Rgb meanColour(const unsigned char* rgb, std::size_t pixels);

// Each channel within `tolerance` of the other colour's.
bool isNear(Rgb a, Rgb b, int tolerance);

}  // namespace quelmor::test
