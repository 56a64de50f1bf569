// SPDX-License-Identifier: GPL-3.0-or-later
#include "LiveTestSupport.h"

#include "StreamFormat.h"
#include "TestSupport.h"

#include "live/FrameDecoding.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QThread>

#include <gtest/gtest.h>

namespace quelmor::test {

namespace {

constexpr int kRetryPauseMs = 50;

const std::string kStatusOk = "HTTP/1.1 200";

}  // namespace

QString writeFile(const QTemporaryDir& directory, const QString& name, const std::string& bytes)
{
    QFile file(directory.filePath(name));
    EXPECT_TRUE(
        file.open(QIODevice::WriteOnly) && file.write(bytes.data(), qint64(bytes.size())) == qint64(bytes.size()))
        << name.toStdString();
    return file.fileName();
}

std::unique_ptr<LoopbackClient> openStream(const std::string& path, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        auto client = std::make_unique<LoopbackClient>(kHttpPort);
        if (client->isConnected() && client->send("GET " + path + " HTTP/1.1\r\n\r\n") &&
            client->read(kStatusOk.size(), kWaitTimeoutMs) == kStatusOk) {
            if (client->read(kStreamHeader.size() - kStatusOk.size(), kWaitTimeoutMs) ==
                kStreamHeader.substr(kStatusOk.size()))
                return client;
            return nullptr;
        }
        QThread::msleep(kRetryPauseMs);
    }
    return nullptr;
}

JpegInfo inspectJpeg(const std::string& bytes)
{
    JpegInfo info;
    QByteArray pixels;
    info.decoded = ::decodeJpeg(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), pixels, info.width,
        info.height, info.channels);
    if (info.decoded && !pixels.isEmpty()) {
        double sum = 0.0;
        for (const char sample : pixels)
            sum += static_cast<unsigned char>(sample);
        info.mean = sum / pixels.size();
    }
    return info;
}

QJsonObject fetchStatus()
{
    LoopbackClient client(kHttpPort);
    client.send("GET /status HTTP/1.1\r\n\r\n");
    const std::string answer = client.readUntilClosed(kEventWaitMs);
    const std::size_t body = answer.find("\r\n\r\n");
    if (body == std::string::npos)
        return {};
    return QJsonDocument::fromJson(QByteArray::fromStdString(answer.substr(body + 4))).object();
}

}  // namespace quelmor::test
