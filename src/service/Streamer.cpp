// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/Streamer.h"

#include "StreamerAdaptor.h"
#include "live/Client.h"
#include "ser/SerPlayer.h"

#include <QDBusConnection>

#include <utility>

namespace {
const QString kObjectPath = QStringLiteral("/Streamer");
constexpr int kNoFrame = -1;
}  // namespace

Streamer::Streamer() : QObject(nullptr)
{
    // The adaptor must exist before registration so that ExportAdaptors finds it;
    // it is a Qt child and dies with this object.
    new StreamerAdaptor(this);

    // Fails only without a bus, which main then reports before it ends.
    QDBusConnection::sessionBus().registerObject(kObjectPath, this, QDBusConnection::ExportAdaptors);
}

Streamer::~Streamer()
{
    destroySerPlayer();
    client.reset();
}

void Streamer::destroySerPlayer()
{
    // reset() clears the owner before it deletes the player.
    serPlayer.reset();
}

void Streamer::start(const QString& device)
{
    destroySerPlayer();
    // The new client exists before the old one goes, and listens only once the
    // camera's picture property arrives, by which time the old server is gone.
    std::unique_ptr<Client> previous = std::exchange(client, std::make_unique<Client>(device));
    previous.reset();
    // Without a server the client says so and keeps trying.
    client->start();
}

void Streamer::stop()
{
    destroySerPlayer();
    emit finished();
}

bool Streamer::openSer(const QString& path)
{
    client.reset();
    if (!serPlayer) {
        serPlayer = std::make_unique<SerPlayer>(this);
        connect(serPlayer.get(), &SerPlayer::frameChanged, this, &Streamer::serFrameChanged);
    }
    return serPlayer->open(path);
}

void Streamer::playSer()
{
    if (serPlayer)
        serPlayer->play();
}

void Streamer::pauseSer()
{
    if (serPlayer)
        serPlayer->pause();
}

void Streamer::stopSer()
{
    if (serPlayer)
        serPlayer->stop();
}

bool Streamer::seekSer(int frame)
{
    return serPlayer && serPlayer->seek(frame);
}

void Streamer::setSerSpeed(double fps)
{
    if (serPlayer)
        serPlayer->setSpeed(fps);
}

int Streamer::serCurrentFrame()
{
    return serPlayer ? serPlayer->currentFrame() : kNoFrame;
}

int Streamer::serTotalFrames()
{
    return serPlayer ? serPlayer->totalFrames() : 0;
}

int Streamer::serWidth()
{
    return serPlayer ? serPlayer->width() : 0;
}

int Streamer::serHeight()
{
    return serPlayer ? serPlayer->height() : 0;
}

bool Streamer::serIsPlaying()
{
    return serPlayer && serPlayer->isPlaying();
}

QString Streamer::serLastError()
{
    return serPlayer ? serPlayer->lastError() : QString();
}

void Streamer::setStretchParams(double shadows, double midtones, double highlights)
{
    if (client)
        client->setStretchParams(shadows, midtones, highlights);
}

bool Streamer::autoStretch(double& shadows, double& midtones, double& highlights)
{
    return client && client->autoStretch(shadows, midtones, highlights);
}

bool Streamer::focusMetrics(double& sharpness, double& min, double& max, double& median)
{
    return client && client->focusMetrics(sharpness, min, max, median);
}
