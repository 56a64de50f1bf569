// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/Client.h"

#include "live/IndiRelease.h"
#include "stretch/StretchRenderer.h"

#include <indipropertyblob.h>

#include <algorithm>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {
constexpr const char* kPictureProperty = "CCD1";
// The paths the pipeline publishes on; viewers may open them before the first
// picture, which a long exposure delays by minutes.
const std::vector<std::string> kStreamPaths = {Client::kPicturePath, Client::kHistogramPath};
}  // namespace

Client::Client(const QString& deviceName, const char* indiHost) : deviceName(deviceName)
{
    setServer(indiHost, kIndiPort);
}

Client::~Client()
{
    callbackGate_->cancelling = true;
    {
        // Waits for a running callback; every later one finds the gate closed.
        std::lock_guard<std::mutex> lock(callbackGate_->mutex);
        callbackGate_->closing = true;
    }
    analysisWorker.stop();
    streamer.stop();
    // The receiving thread is joined only by ~BaseClient; the shared gate
    // keeps any callback it still runs away from the members released below.
    const bool receivingEnded = !isServerConnected() || disconnectServer();
    watchedDevice = INDI::BaseDevice();
    if (!receivingEnded)
        return;  // the devices are still in the receiving thread's hands
    for (const INDI::BaseDevice& device : getDevices())
        releaseDevice(device);
}

template <typename Callback>
void Client::throughGate(const std::shared_ptr<CallbackGate>& gate, Callback&& callback)
{
    std::lock_guard<std::mutex> lock(gate->mutex);
    if (!gate->closing)
        callback();
}

bool Client::start()
{
    const QByteArray device = deviceName.toLatin1();
    // Watched before connecting: the server may define the device before a
    // watch installed afterwards exists. Each definition reaches newDevice.
    watchDevice(device.constData());
    enableDirectBlobAccess(device.constData(), kPictureProperty);
    if (!connectServer())
        return false;
    setBLOBMode(B_ONLY, device.constData(), kPictureProperty);
    return true;
}

void Client::newDevice(INDI::BaseDevice device)
{
    throughGate(callbackGate_, [&] {
        if (deviceName.toLatin1() == device.getDeviceName())
            onDevice(std::move(device));
    });
}

// The library forgets the device or property once these return, so they
// release it even while the client closes: nothing else would.
void Client::removeDevice(INDI::BaseDevice device)
{
    throughGate(callbackGate_, [&] { watchedDevice = INDI::BaseDevice(); });
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
    watchedDevice = std::move(device);
    watchedDevice.watchProperty(kPictureProperty, [this, gate = callbackGate_](INDI::Property property) {
        throughGate(gate, [&] { onPictureProperty(std::move(property)); });
    });
}

void Client::onPictureProperty(INDI::Property property)
{
    if (!httpServerStarted) {
        httpServerStarted = true;
        startHttpServer();
    }
    // The handler reaches the BLOB through the property's own storage: it is
    // kept inside the property, so a copy of the handle would keep the
    // property alive for ever. A new definition of "CCD1" brings a new
    // property without a handler, and registering on the same property
    // replaces its handler, so one handler serves the current definition.
    auto* blob = static_cast<INDI::PropertyView<IBLOB>*>(property.getProperty());
    property.onUpdate([this, gate = callbackGate_, blob] {
        throughGate(gate, [&] {
            if (blob->count() < 1)
                return;
            const INDI::WidgetView<IBLOB>& element = *blob->at(0);
            processPicture(static_cast<const unsigned char*>(element.getBlob()), element.getBlobLen());
        });
    });
}

bool Client::startHttpServer()
{
    const int workers = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    lastHttpServerAttempt = std::chrono::steady_clock::now();
    httpServerFailed = !streamer.start(httpPort, workers, kStreamPaths);
    return !httpServerFailed;
}

void Client::setStretchParams(double shadows, double midtones, double highlights)
{
    std::lock_guard<std::mutex> lock(frameMutex);
    stretch.setParams(shadows, midtones, highlights);
}

bool Client::autoStretch(double& shadows, double& midtones, double& highlights)
{
    const std::optional<AnalysisFrame> frame = copyAnalysisFrame();
    if (!frame)
        return false;
    StretchRenderer renderer(frame->width, frame->height, frame->channels, PixelType::UInt8);
    const StretchChannelParams computed = renderer.computeAutoParams(frame->pixels.constData()).channel[0];
    shadows = computed.shadows;
    midtones = computed.midtones;
    highlights = computed.highlights;

    std::lock_guard<std::mutex> lock(frameMutex);
    stretch.setParams(shadows, midtones, highlights);
    return true;
}

std::optional<Client::AnalysisFrame> Client::copyAnalysisFrame()
{
    std::lock_guard<std::mutex> lock(frameMutex);
    if (analysisFrame.pixels.isEmpty())
        return std::nullopt;
    return analysisFrame;
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
