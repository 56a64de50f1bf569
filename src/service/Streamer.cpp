#include "service/Streamer.h"

#include "StreamerAdaptor.h"

#include <QDBusConnection>

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

Streamer::~Streamer() = default;

void Streamer::start(const QString& device)
{
    // No live feed can be built yet: the request leaves the service without a source.
    Q_UNUSED(device)
}

void Streamer::stop()
{
    emit finished();
}

bool Streamer::openSer(const QString& path)
{
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
    Q_UNUSED(shadows)
    Q_UNUSED(midtones)
    Q_UNUSED(highlights)
}

bool Streamer::autoStretch(double& shadows, double& midtones, double& highlights)
{
    Q_UNUSED(shadows)
    Q_UNUSED(midtones)
    Q_UNUSED(highlights)
    return false;
}

bool Streamer::focusMetrics(double& sharpness, double& min, double& max, double& median)
{
    Q_UNUSED(sharpness)
    Q_UNUSED(min)
    Q_UNUSED(max)
    Q_UNUSED(median)
    return false;
}
