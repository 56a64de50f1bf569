// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/Client.h"

#include "live/IndiRelease.h"
#include "stretch/StretchRenderer.h"

#include <indipropertyblob.h>
#include <indipropertynumber.h>
#include <indipropertytext.h>

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {
constexpr const char* kPictureProperty = "CCD1";
// The paths the pipeline publishes on; viewers may open them before the first
// picture, which a long exposure delays by minutes.
const std::vector<std::string> kStreamPaths = {Client::kPicturePath, Client::kHistogramPath};

QString serverAddress()
{
    return QStringLiteral("%1:%2").arg(QLatin1String(Client::kTcpLoopbackHost)).arg(Client::kIndiPort);
}

// The value of a number element of the device, clamped to 32 bits (a camera
// may send 1e12 or NaN, whose cast would be undefined); `fallback` when it has
// none or NaN.
std::int32_t numberOf(INDI::BaseDevice device, const char* property, const char* element, std::int32_t fallback)
{
    const INDI::PropertyNumber numbers(device.getProperty(property, INDI_NUMBER));
    if (!numbers.isValid())
        return fallback;
    const INDI::WidgetView<INumber>* widget = numbers.findWidgetByName(element);
    if (widget == nullptr || std::isnan(widget->getValue()))
        return fallback;
    using Limits = std::numeric_limits<std::int32_t>;
    return static_cast<std::int32_t>(std::clamp(widget->getValue(), double(Limits::min()), double(Limits::max())));
}

std::string textOf(INDI::BaseDevice device, const char* property, const char* element)
{
    const INDI::PropertyText texts(device.getProperty(property, INDI_TEXT));
    if (!texts.isValid())
        return {};
    const INDI::WidgetView<IText>* widget = texts.findWidgetByName(element);
    return widget != nullptr && widget->getText() != nullptr ? widget->getText() : std::string();
}

// A number the device keeps in a text element; 0 when it holds none.
std::int32_t textNumberOf(INDI::BaseDevice device, const char* property, const char* element)
{
    return QByteArray::fromStdString(textOf(std::move(device), property, element)).trimmed().toInt();
}
}  // namespace

Client::Client(const QString& deviceName, const char* indiHost) : deviceName(deviceName), liveStatus(deviceName)
{
    setServer(indiHost, kIndiPort);
    streamer.setStatusSource([this] { return statusDocument(); });
}

Client::~Client()
{
    reconnector.stop();
    httpServerRetry.stop();
    callbackGate_->cancelling = true;
    {
        // Waits for a running callback; every later one finds the gate closed.
        std::lock_guard<std::mutex> lock(callbackGate_->mutex);
        callbackGate_->closing = true;
    }
    pictureWorker.stop();
    analysisWorker.stop();
    streamer.stop();
    endConnection();
}

void Client::logLine(const QString& line)
{
    std::fprintf(stderr, "dorvenquill-streamer: %s\n", qPrintable(line));
}

template <typename Callback>
void Client::throughGate(const std::shared_ptr<CallbackGate>& gate, Callback&& callback)
{
    std::lock_guard<std::mutex> lock(gate->mutex);
    if (!gate->closing)
        callback();
}

void Client::start()
{
    // Every device is asked for, not just the watched one, so that a missing
    // camera can be reported with the names of those the server has.
    enableDirectBlobAccess(deviceName.toLatin1().constData(), kPictureProperty);
    // Before any connection: viewers see the page, and what it waits for,
    // while the INDI server or the camera is still missing.
    if (!startHttpServer())
        httpServerRetry.begin();
    reconnector.begin();
}

bool Client::endConnection()
{
    // The receiving thread is joined only by ~BaseClient or the next
    // connection; the shared gate keeps any callback it still runs away from
    // the members.
    const bool receivingEnded = !isServerConnected() || disconnectServer();
    {
        std::lock_guard<std::mutex> lock(callbackGate_->mutex);
        watchedDevice = INDI::BaseDevice();
    }
    if (!receivingEnded)
        return false;  // the devices are still in the receiving thread's hands
    releaseDevices();
    return true;
}

bool Client::reconnect()
{
    // A lost connection still counts as connected in libindiclient 1.9.9
    // until it is ended, and connecting drops the old devices unreleased.
    if (!endConnection())
        return false;
    throughGate(callbackGate_, [&] {
        deviceSeen = false;
        serverDevices.clear();
        liveStatus.devicesChanged(serverDevices);
    });
    const bool first = std::exchange(firstAttempt, false);
    if (!connectServer()) {
        if (first)
            logLine(QStringLiteral("no INDI server answers at %1; trying again until one does").arg(serverAddress()));
        return false;
    }
    // Before any picture can come, which makes it "connected".
    liveStatus.connectionMade();
    // Only once connected, or the library drops it. B_ALSO rather than
    // B_ONLY: indiserver then sends the device's other properties too, the
    // raw video frames' geometry among them.
    setBLOBMode(B_ALSO, deviceName.toLatin1().constData(), kPictureProperty);
    if (!first)
        logLine(QStringLiteral("connected to the INDI server at %1").arg(serverAddress()));
    return true;
}

// Runs on the receiving thread once it has stopped reading, and right before
// the library drops its devices unreleased: so they are released here, even
// while the client closes.
void Client::serverDisconnected(int)
{
    releaseDevices();
    // Also called after a failed attempt to connect, which is no news.
    throughGate(callbackGate_, [&] {
        liveStatus.connectionEnded();
        if (reconnector.connectionLost())
            logLine(QStringLiteral("lost the connection to the INDI server at %1; reconnecting").arg(serverAddress()));
    });
}

void Client::releaseDevices()
{
    for (const INDI::BaseDevice& device : getDevices()) {
        if (device.isValid())
            releaseDevice(device);
    }
}

void Client::checkDevice()
{
    throughGate(callbackGate_, [&] {
        if (deviceSeen)
            return;
        liveStatus.deviceMissing();
        QStringList names;
        for (const std::string& name : serverDevices)
            names << QStringLiteral("\"%1\"").arg(QString::fromStdString(name));
        const QString known = names.isEmpty() ? QStringLiteral("it has no devices")
                                              : QStringLiteral("it has %1").arg(names.join(QStringLiteral(", ")));
        logLine(QStringLiteral("the INDI server at %1 has no device \"%2\" (%3); waiting for it")
                    .arg(serverAddress(), deviceName, known));
    });
}

void Client::newDevice(INDI::BaseDevice device)
{
    throughGate(callbackGate_, [&] {
        serverDevices.insert(device.getDeviceName());
        liveStatus.devicesChanged(serverDevices);
        if (deviceName.toLatin1() == device.getDeviceName())
            onDevice(std::move(device));
    });
}

// The library forgets the device or property once these return, so they
// release it even while the client closes: nothing else would.
void Client::removeDevice(INDI::BaseDevice device)
{
    throughGate(callbackGate_, [&] {
        serverDevices.erase(device.getDeviceName());
        liveStatus.devicesChanged(serverDevices);
        if (deviceName.toLatin1() == device.getDeviceName())
            watchedDevice = INDI::BaseDevice();
    });
    releaseDevice(std::move(device));
}

// Runs after the update handler, which copies what it keeps.
void Client::updateProperty(INDI::Property property)
{
    releaseBlobBytes(std::move(property));
}

void Client::removeProperty(INDI::Property property)
{
    releaseBlobBytes(std::move(property));
}

void Client::onDevice(INDI::BaseDevice device)
{
    deviceSeen = true;
    liveStatus.deviceDefined();
    returnMemoryAfterPicture = true;
    watchedDevice = std::move(device);
    watchedDevice.watchProperty(kPictureProperty, [this, gate = callbackGate_](INDI::Property property) {
        throughGate(gate, [&] { onPictureProperty(std::move(property)); });
    });
}

void Client::onPictureProperty(INDI::Property property)
{
    // The handler reaches the BLOB through the property's own storage: it is
    // kept inside the property, so a copy of the handle would keep the
    // property alive for ever. A new definition of "CCD1" brings a new
    // property without a handler, and registering on the same property
    // replaces its handler, so one handler serves the current definition.
    auto* blob = static_cast<INDI::PropertyView<IBLOB>*>(property.getProperty());
    property.onUpdate([this, gate = callbackGate_, blob] { throughGate(gate, [&] { receivePicture(*blob); }); });
}

void Client::receivePicture(const INDI::PropertyView<IBLOB>& blob)
{
    if (blob.count() < 1)
        return;
    const INDI::WidgetView<IBLOB>& element = *blob.at(0);
    if (element.getBlob() == nullptr || element.getBlobLen() <= 0)
        return;
    liveStatus.pictureArrived();
    Picture picture;
    try {
        picture.bytes = QByteArray(static_cast<const char*>(element.getBlob()), element.getBlobLen());
    } catch (const std::bad_alloc&) {
        return;  // no memory for the copy: this picture is dropped
    }
    picture.format = element.getFormat() != nullptr ? element.getFormat() : "";
    const PictureFormat format = classifyPictureFormat(picture.format).format;
    if (format == PictureFormat::RawStream)
        picture.geometry = streamGeometry();
    // FITS pictures, and a device defined anew (a reconnection, a driver
    // restart), leave the most freed memory behind.
    const bool returnMemory = format == PictureFormat::Fits || std::exchange(returnMemoryAfterPicture, false);
    // Where pictures are dropped: a picture the worker has not started yet is
    // replaced by this newer one, so a camera faster than the picture work
    // shows its newest pictures and nothing queues up.
    pictureWorker.submit([this, picture = std::move(picture)] { processPicture(picture); },
        returnMemory ? LatestWorker::AfterTask::ReturnFreedMemory : LatestWorker::AfterTask::Nothing);
}

StreamGeometry Client::streamGeometry() const
{
    StreamGeometry geometry;
    geometry.width = numberOf(watchedDevice, "CCD_STREAM_FRAME", "WIDTH", 0);
    geometry.height = numberOf(watchedDevice, "CCD_STREAM_FRAME", "HEIGHT", 0);
    geometry.binX = numberOf(watchedDevice, "CCD_BINNING", "HOR_BIN", 1);
    geometry.binY = numberOf(watchedDevice, "CCD_BINNING", "VER_BIN", 1);
    geometry.cfaType = textOf(watchedDevice, "CCD_CFA", "CFA_TYPE");
    geometry.cfaOffsetX = textNumberOf(watchedDevice, "CCD_CFA", "CFA_OFFSET_X");
    geometry.cfaOffsetY = textNumberOf(watchedDevice, "CCD_CFA", "CFA_OFFSET_Y");
    return geometry;
}

bool Client::startHttpServer()
{
    const int workers = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    const bool wasFailing = httpServerFailed;
    httpServerFailed = !streamer.start(httpPort, workers, kStreamPaths);
    if (httpServerFailed && !wasFailing)
        logLine(QStringLiteral("HTTP port %1 is in use; trying again every second").arg(httpPort));
    else if (!httpServerFailed && wasFailing)
        logLine(QStringLiteral("HTTP port %1 is free again; serving the live feed").arg(httpPort));
    return !httpServerFailed;
}

void Client::setStretchParams(double shadows, double midtones, double highlights)
{
    {
        std::lock_guard<std::mutex> lock(frameMutex);
        stretch.setParams(shadows, midtones, highlights);
    }
    showPictureAgain();
}

void Client::showPictureAgain()
{
    // A waiting picture shows with the new stretch anyway, and this task would replace it.
    pictureWorker.submitUnlessOneWaits([this] {
        if (pictureWorkCancelled())
            return;
        // A copy: showing it replaces shownPicture. The samples are shared, not copied.
        const ShownPicture shown = shownPicture;
        formatInWork = shown.format;
        arrivalInWork = shown.arrival;
        if (!shown.frame.samples.isEmpty())
            processFrame(shown.format, shown.frame);
        else if (!shown.jpeg.isEmpty())
            processJpeg(shown.jpeg);
    });
}

bool Client::autoStretch(double& shadows, double& midtones, double& highlights)
{
    CameraFrame frame;
    {
        std::lock_guard<std::mutex> lock(frameMutex);
        frame = latestFrame;
    }
    if (frame.samples.isEmpty())
        return false;
    StretchRenderer renderer(frame.view());
    const StretchChannelParams computed = renderer.computeAutoParams(frame.samples.constData()).channel[0];
    shadows = computed.shadows;
    midtones = computed.midtones;
    highlights = computed.highlights;

    {
        std::lock_guard<std::mutex> lock(frameMutex);
        stretch.setParams(shadows, midtones, highlights);
    }
    showPictureAgain();
    return true;
}

std::optional<Client::AnalysisFrame> Client::copyAnalysisFrame()
{
    std::lock_guard<std::mutex> lock(frameMutex);
    if (analysisFrame.pixels.isEmpty())
        return std::nullopt;
    return analysisFrame;
}

std::string Client::statusDocument()
{
    // Read before the status's own lock: the two are never held together.
    StatusDocument::Focus focus;
    focus.available = focusMetrics(focus.sharpness, focus.min, focus.max, focus.median);
    return liveStatus.json(focus);
}

void Client::pictureShown(std::int32_t width, std::int32_t height)
{
    liveStatus.pictureShown(width, height, formatInWork, arrivalInWork);
}

bool Client::focusMetrics(double& sharpness, double& min, double& max, double& median)
{
    std::lock_guard<std::mutex> lock(frameMutex);
    const std::optional<FocusReading> reading = focusHistory.reading();
    if (!reading)
        return false;
    sharpness = reading->sharpness;
    min = reading->min;
    max = reading->max;
    median = reading->median;
    return true;
}
