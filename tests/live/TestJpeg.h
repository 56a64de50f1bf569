#pragma once

#include <QByteArray>

#include <cstdint>
#include <vector>

// A JPEG picture made with libjpeg at quality 100 from interleaved samples:
// grey for 1 component, RGB for 3, CMYK for 4.
QByteArray encodeJpeg(
    const std::vector<std::uint8_t>& samples, int width, int height, int components, bool progressive = false);

// The picture with a frame header that claims another size.
QByteArray claimingSize(QByteArray jpeg, int width, int height);
