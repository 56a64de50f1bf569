#include "service/Streamer.h"

#include "StreamerAdaptor.h"
#include "live/Client.h"

#include <QDBusConnection>

#include <utility>

namespace {
const QString kServiceName = QStringLiteral("com.tavrinholm.dorvenquill.Streamer");
const QString kObjectPath = QStringLiteral("/Streamer");
constexpr int kNoFrame = -1;
}  // namespace

Streamer::Streamer() : QObject(nullptr)
{
    // The adaptor must exist before registration so that ExportAdaptors finds it;
    // it is a Qt child and dies with this object.
    new StreamerAdaptor(this);

    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.registerObject(kObjectPath, this, QDBusConnection::ExportAdaptors);
    bus.registerService(kServiceName);
}

Streamer::~Streamer()
{
    // The SER player goes first, then the live feed.
    client.reset();
}

void Streamer::start(const QString& device)
{
    // The SER player is destroyed here, before the live feed is built.

    // The new client exists before the old one goes, and listens only once the
    // camera's picture property arrives, by which time the old server is gone.
    std::unique_ptr<Client> previous = std::exchange(client, std::make_unique<Client>(device));
    previous.reset();
    // A failed connection shows only as an absent stream.
    client->start();
}

void Streamer::stop()
{
    emit finished();
}

bool Streamer::openSer(const QString& path)
{
    client.reset();
    // No player can be built yet: every file is refused.
    Q_UNUSED(path)
    return false;
}

void Streamer::playSer() { }

void Streamer::pauseSer() { }

void Streamer::stopSer() { }

bool Streamer::seekSer(int frame)
{
    Q_UNUSED(frame)
    return false;
}

void Streamer::setSerSpeed(double fps)
{
    Q_UNUSED(fps)
}

int Streamer::serCurrentFrame()
{
    return kNoFrame;
}

int Streamer::serTotalFrames()
{
    return 0;
}

int Streamer::serWidth()
{
    return 0;
}

int Streamer::serHeight()
{
    return 0;
}

bool Streamer::serIsPlaying()
{
    return false;
}

QString Streamer::serLastError()
{
    return QString();
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
