// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quelmor::test {

struct Rgb {
    unsigned char red, green, blue;
};

// A real JPEG picture made with libjpeg at quality 100 from interleaved
// samples: grey for 1 component, RGB for 3, CMYK for 4.
std::string encodeJpeg(
    const std::vector<std::uint8_t>& samples, int width, int height, int components, bool progressive = false);

// A JPEG picture of one colour.
std::string encodeSolidJpeg(int width, int height, Rgb colour);

// The baseline picture with a frame header that claims another size.
std::string claimingSize(std::string jpeg, int width, int height);

// Decodes a JPEG into interleaved RGB; false for anything libjpeg rejects.
// With `scaleDenom` 2, 4 or 8, libjpeg's own reduced decode (its DCT scaling).
bool decodeJpeg(
    const std::string& jpeg, int& width, int& height, std::vector<unsigned char>& rgb, unsigned scaleDenom = 1);

// The mean colour of interleaved RGB pixels.
Rgb meanColour(const unsigned char* rgb, std::size_t pixels);

// Each channel within `tolerance` of the other colour's.
bool isNear(Rgb a, Rgb b, int tolerance);

}  // namespace quelmor::test
