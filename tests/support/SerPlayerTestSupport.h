// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>

// Frames, a stream client and colour checks shared by the player's tests.
namespace sertest {

// An 8-bit RGB frame (three bytes a pixel) of one colour.
QByteArray solidRgbFrame(int width, int height, QRgb colour);

// Red, green and blue in {0, 255}: their bright channels survive any stretch
// taken from such frames, so each frame stays recognisable on screen.
const QList<QRgb>& distinctColours();
// The channels (bit 0 red, 1 green, 2 blue) that are clearly lit in `pixel`,
// or -1 when some channel is neither clearly lit nor clearly dark.
int litChannels(QRgb pixel);

// Connects to 127.0.0.1:port, asks for `path` as a stream and returns the
// first picture, decoded; a null image (with `error` set) otherwise.
QImage fetchPicture(int port, QString* error, const QString& path = QStringLiteral("/jpg"));

}  // namespace sertest
