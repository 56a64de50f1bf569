// SPDX-License-Identifier: GPL-3.0-or-later
#include "ser/SerPlayer.h"

#include "stretch/JpegEncoding.h"
#include "stretch/RenderedPicture.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <string>
#include <thread>

namespace {

const std::string kStreamPath = "/jpg";
constexpr double kMillisecondsPerSecond = 1000.0;
constexpr double kFallbackFps = 1.0;
constexpr int kMinIntervalMs = 1;

int streamerWorkers()
{
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// The listener reports a taken port as the bind step failing with EADDRINUSE.
bool isPortInUse(const std::string& listenerError)
{
    return listenerError.find("Error Code: " + std::to_string(EADDRINUSE)) != std::string::npos;
}

}  // namespace

SerPlayer::SerPlayer(QObject* parent) : QObject(parent)
{
    connect(&timer, &QTimer::timeout, this, &SerPlayer::onTimeout);
    streamer.setStatusSource([this] { return status.json(); });
}

SerPlayer::~SerPlayer()
{
    timer.stop();
    stopStreamer();
    reader.close();
}

bool SerPlayer::open(const QString& path, QString* error)
{
    timer.stop();
    stopStreamer();
    reader.close();
    status.closed();
    renderer.forgetStretch();
    currentFrame_ = 0;
    lastError_.clear();

    QString message;
    bool opened = reader.open(path, &message);
    if (opened && !SerFrameRenderer::canShow(reader, message)) {
        reader.close();
        opened = false;
    }
    if (opened)
        status.opened(path, reader.frameCount(), reader.width(), reader.height());
    if (opened && !startStreamer()) {
        const std::string listenerError = streamer.lastError();
        message = isPortInUse(listenerError)
            ? QStringLiteral("HTTP port %1 is in use").arg(port)
            : QStringLiteral("HTTP server could not start: %1").arg(QString::fromStdString(listenerError));
        reader.close();
        opened = false;
    }
    if (!opened) {
        status.closed();
        lastError_ = message;
        if (error)
            *error = message;
        return false;
    }
    reportPlayback();
    publishFrame(currentFrame_);
    return true;
}

void SerPlayer::play()
{
    if (!reader.isOpen() || !startStreamer())
        return;
    timer.start(playbackIntervalMs());
    reportPlayback();
}

void SerPlayer::pause()
{
    timer.stop();
    reportPlayback();
}

void SerPlayer::stop()
{
    timer.stop();
    stopStreamer();
    reader.close();
    status.closed();
    reportPlayback();
    currentFrame_ = 0;
    renderer.forgetStretch();
}

bool SerPlayer::seek(int frame)
{
    if (!reader.isOpen())
        return false;
    currentFrame_ = std::clamp(frame, 0, reader.frameCount() - 1);
    return publishFrame(currentFrame_);
}

void SerPlayer::setSpeed(double newFps)
{
    fps = newFps > 0.0 ? newFps : kFallbackFps;
    if (timer.isActive())
        timer.start(playbackIntervalMs());
    reportPlayback();
}

int SerPlayer::playbackIntervalMs() const
{
    // fps is positive, so the quotient is not NaN; it is 0 for an infinite
    // rate and may exceed int for a tiny one, so clamp before converting.
    const double intervalMs = std::trunc(kMillisecondsPerSecond / fps);
    return static_cast<int>(std::clamp(intervalMs, double(kMinIntervalMs), double(std::numeric_limits<int>::max())));
}

void SerPlayer::onTimeout()
{
    if (!publishFrame(currentFrame_)) {
        timer.stop();
        reportPlayback();
        return;
    }
    if (currentFrame_ + 1 >= reader.frameCount()) {
        currentFrame_ = 0;
        emit playbackFinished();
    } else {
        ++currentFrame_;
    }
}

bool SerPlayer::startStreamer()
{
    if (streamerRunning)
        return true;
    streamerRunning = streamer.start(port, streamerWorkers(), {kStreamPath});
    return streamerRunning;
}

void SerPlayer::stopStreamer()
{
    if (!streamerRunning)
        return;
    streamer.stop();
    streamerRunning = false;
}

void SerPlayer::reportPlayback()
{
    status.playback(timer.isActive(), fps);
}

bool SerPlayer::publishFrame(int index)
{
    if (!renderer.render(reader, index))
        return false;
    const PictureBuffer& picture = renderer.picture();
    // Encoded here only for a viewer at full size; the publisher makes each
    // size, this one too, when a viewer first needs it.
    QByteArray jpeg;
    if (streamer.watchedAtFullSize(kStreamPath, picture.width()) &&
        !encodePictureJpeg(picture, SerFrameRenderer::kJpegQuality, jpeg))
        return false;
    streamer.publish(kStreamPath, std::make_shared<const RenderedPicture>(picture, SerFrameRenderer::kJpegQuality),
        jpeg.toStdString());
    status.frameShown(index);
    emit frameChanged(index, reader.frameCount());
    return true;
}
