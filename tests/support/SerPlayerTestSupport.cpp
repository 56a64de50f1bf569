// SPDX-License-Identifier: GPL-3.0-or-later
#include "SerPlayerTestSupport.h"

#include "JpegCodec.h"
#include "LoopbackClient.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace sertest {

namespace {

constexpr int kLitLevel = 128;
constexpr int kDarkLevel = 64;
constexpr std::size_t kMaxResponseHeaderBytes = 4096;

// Reads the HTTP response header byte by byte so that no picture byte is taken with it.
bool skipResponseHeader(quelmor::test::LoopbackClient& client, QString* error)
{
    std::string header;
    while (header.size() < kMaxResponseHeaderBytes) {
        const std::string byte = client.read(1, quelmor::test::kWaitTimeoutMs);
        if (byte.empty())
            break;
        header += byte;
        if (header.size() >= 4 && header.compare(header.size() - 4, 4, "\r\n\r\n") == 0) {
            if (header.rfind("HTTP/1.1 200 OK\r\n", 0) == 0)
                return true;
            break;
        }
    }
    *error = QStringLiteral("no stream response: %1").arg(QString::fromStdString(header));
    return false;
}

}  // namespace

bool samePixels(const PictureBuffer& a, const PictureBuffer& b)
{
    if (a.width() != b.width() || a.height() != b.height() || a.channels() != b.channels())
        return false;
    for (int y = 0; y < a.height(); ++y) {
        if (std::memcmp(a.row(y), b.row(y), std::size_t(a.width()) * a.bytesPerPixel()) != 0)
            return false;
    }
    return true;
}

QByteArray solidRgbFrame(int width, int height, Rgb colour)
{
    QByteArray frame;
    frame.reserve(qsizetype(width) * height * 3);
    for (int i = 0; i < width * height; ++i) {
        frame.append(char(redOf(colour)));
        frame.append(char(greenOf(colour)));
        frame.append(char(blueOf(colour)));
    }
    return frame;
}

const QList<Rgb>& distinctColours()
{
    constexpr auto rgb = PictureBuffer::pixelWord;
    static const QList<Rgb> colours = {
        rgb(255, 0, 0), rgb(0, 255, 0), rgb(0, 0, 255), rgb(255, 255, 0), rgb(0, 255, 255), rgb(255, 0, 255)};
    return colours;
}

int litChannels(Rgb pixel)
{
    int lit = 0;
    const int levels[] = {redOf(pixel), greenOf(pixel), blueOf(pixel)};
    for (int channel = 0; channel < 3; ++channel) {
        if (levels[channel] > kLitLevel)
            lit |= 1 << channel;
        else if (levels[channel] >= kDarkLevel)
            return -1;
    }
    return lit;
}

PictureBuffer fetchPicture(int port, QString* error, const QString& path)
{
    quelmor::test::LoopbackClient client(port);
    if (!client.isConnected()) {
        *error = QStringLiteral("cannot connect to port %1").arg(port);
        return {};
    }
    if (!client.send("GET " + path.toStdString() + " HTTP/1.1\r\nHost: localhost\r\n\r\n") ||
        !skipResponseHeader(client, error))
        return {};
    std::string picture;
    std::string why;
    if (!client.readPart(picture, why, quelmor::test::kWaitTimeoutMs)) {
        *error = QString::fromStdString(why);
        return {};
    }
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
    if (!quelmor::test::decodeJpeg(picture, width, height, rgb)) {
        *error = QStringLiteral("the part is no JPEG picture");
        return {};
    }
    PictureBuffer decoded(width, height, 3);
    for (int i = 0; i < width * height; ++i)
        decoded.setPixel(i % width, i / width, PictureBuffer::pixelWord(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]));
    return decoded;
}

PictureBuffer shownPicture()
{
    QString error;
    const PictureBuffer picture = fetchPicture(quelmor::test::kHttpPort, &error);
    EXPECT_FALSE(picture.isNull()) << error.toStdString();
    return picture;
}

}  // namespace sertest
