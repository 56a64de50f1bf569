// SPDX-License-Identifier: GPL-3.0-or-later
#include "SerPlayerTestSupport.h"

#include "LoopbackClient.h"
#include "TestSupport.h"

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

QByteArray solidRgbFrame(int width, int height, QRgb colour)
{
    QByteArray frame;
    frame.reserve(qsizetype(width) * height * 3);
    for (int i = 0; i < width * height; ++i) {
        frame.append(char(qRed(colour)));
        frame.append(char(qGreen(colour)));
        frame.append(char(qBlue(colour)));
    }
    return frame;
}

const QList<QRgb>& distinctColours()
{
    static const QList<QRgb> colours = {
        qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255), qRgb(255, 255, 0), qRgb(0, 255, 255), qRgb(255, 0, 255)};
    return colours;
}

int litChannels(QRgb pixel)
{
    int lit = 0;
    const int levels[] = {qRed(pixel), qGreen(pixel), qBlue(pixel)};
    for (int channel = 0; channel < 3; ++channel) {
        if (levels[channel] > kLitLevel)
            lit |= 1 << channel;
        else if (levels[channel] >= kDarkLevel)
            return -1;
    }
    return lit;
}

QImage fetchPicture(int port, QString* error, const QString& path)
{
    quelmor::test::LoopbackClient client(port);
    if (!client.isConnected()) {
        *error = QStringLiteral("cannot connect to port %1").arg(port);
        return QImage();
    }
    if (!client.send("GET " + path.toStdString() + " HTTP/1.1\r\nHost: localhost\r\n\r\n") ||
        !skipResponseHeader(client, error))
        return QImage();
    std::string picture;
    std::string why;
    if (!client.readPart(picture, why, quelmor::test::kWaitTimeoutMs)) {
        *error = QString::fromStdString(why);
        return QImage();
    }
    QImage image = QImage::fromData(QByteArray::fromStdString(picture), "JPEG");
    if (image.isNull())
        *error = QStringLiteral("the part is no JPEG picture");
    return image.convertToFormat(QImage::Format_RGB32);
}

}  // namespace sertest
