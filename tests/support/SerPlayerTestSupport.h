// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "stretch/PictureBuffer.h"

#include <QByteArray>
#include <QList>
#include <QSize>
#include <QString>

// Frames, a stream client and colour checks shared by the player's tests.
namespace sertest {

// A colour as a picture's pixel word, 0xFFRRGGBB.
using Rgb = std::uint32_t;
constexpr int redOf(Rgb pixel)
{
    return int(pixel >> 16 & 0xFF);
}
constexpr int greenOf(Rgb pixel)
{
    return int(pixel >> 8 & 0xFF);
}
constexpr int blueOf(Rgb pixel)
{
    return int(pixel & 0xFF);
}
// The grey level of a colour, as (11 red + 16 green + 5 blue) / 32.
constexpr int greyOf(Rgb pixel)
{
    return (redOf(pixel) * 11 + greenOf(pixel) * 16 + blueOf(pixel) * 5) / 32;
}
inline QSize sizeOf(const PictureBuffer& picture)
{
    return QSize(picture.width(), picture.height());
}
// The same size, channels and pixels.
bool samePixels(const PictureBuffer& a, const PictureBuffer& b);

// An 8-bit RGB frame (three bytes a pixel) of one colour.
QByteArray solidRgbFrame(int width, int height, Rgb colour);

// Red, green and blue in {0, 255}: their bright channels survive any stretch
// taken from such frames, so each frame stays recognisable on screen.
const QList<Rgb>& distinctColours();
// The channels (bit 0 red, 1 green, 2 blue) that are clearly lit in `pixel`,
// or -1 when some channel is neither clearly lit nor clearly dark.
int litChannels(Rgb pixel);

// Connects to 127.0.0.1:port, asks for `path` as a stream and returns the
// first picture, decoded into a colour picture; a null one (with `error` set) otherwise.
PictureBuffer fetchPicture(int port, QString* error, const QString& path = QStringLiteral("/jpg"));
// The picture on "/jpg" of port 8080 now; a failure of the test when there is none.
PictureBuffer shownPicture();

}  // namespace sertest
