#include "LiveTestSupport.h"

#include "StreamFormat.h"

#include "live/FrameDecoding.h"

#include <QDeadlineTimer>
#include <QThread>

#include <basedevice.h>
#include <indipropertyblob.h>

#include <algorithm>
#include <utility>

namespace livetest {

using quelmor::test::kHttpPort;
using quelmor::test::kIndiPort;

namespace {

constexpr int kToolTimeoutMs = 10000;
constexpr int kRetryPauseMs = 50;
constexpr const char* kPictureProperty = "CCD1";

const std::string kStatusOk = "HTTP/1.1 200";

}  // namespace

BlobRecorder::BlobRecorder()
{
    setServer("127.0.0.1", kIndiPort);
}

BlobRecorder::~BlobRecorder()
{
    {
        std::lock_guard<std::mutex> lock(store_->mutex);
        store_->closing = true;
    }
    if (isServerConnected())
        disconnectServer();
}

bool BlobRecorder::start()
{
    watchDevice(quelmor::test::IndiSimulator::kDevice, [store = store_](INDI::BaseDevice device) {
        device.watchProperty(kPictureProperty, [store](INDI::Property property) {
            auto* blob = static_cast<INDI::PropertyView<IBLOB>*>(property.getProperty());
            property.onUpdate([store, blob] {
                std::lock_guard<std::mutex> lock(store->mutex);
                if (store->closing || blob->count() < 1)
                    return;
                const INDI::WidgetView<IBLOB>& element = *blob->at(0);
                store->newest.assign(static_cast<const char*>(element.getBlob()), element.getBlobLen());
                ++store->count;
                const long long now = quelmor::test::nowMs();
                if (store->count > 1)
                    store->longestGapMs = std::max(store->longestGapMs, now - store->lastArrivalMs);
                store->lastArrivalMs = now;
                store->arrivalByHash.emplace(std::hash<std::string>()(store->newest), store->count);
            });
        });
    });
    if (!connectServer())
        return false;
    setBLOBMode(B_ONLY, quelmor::test::IndiSimulator::kDevice, kPictureProperty);
    return true;
}

std::size_t BlobRecorder::count() const
{
    std::lock_guard<std::mutex> lock(store_->mutex);
    return store_->count;
}

bool BlobRecorder::waitForBlob(const std::string& bytes, int timeoutMs) const
{
    return quelmor::test::waitUntil([&] { return arrivalNumber(bytes) != 0; }, timeoutMs);
}

std::size_t BlobRecorder::arrivalNumber(const std::string& bytes) const
{
    const std::size_t hash = std::hash<std::string>()(bytes);
    std::lock_guard<std::mutex> lock(store_->mutex);
    const auto found = store_->arrivalByHash.find(hash);
    return found == store_->arrivalByHash.end() ? 0 : found->second;
}

long long BlobRecorder::longestGapMs() const
{
    std::lock_guard<std::mutex> lock(store_->mutex);
    return store_->longestGapMs;
}

std::string BlobRecorder::newest() const
{
    std::lock_guard<std::mutex> lock(store_->mutex);
    return store_->newest;
}

std::unique_ptr<quelmor::test::LoopbackClient> openStream(const std::string& path, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        auto client = std::make_unique<quelmor::test::LoopbackClient>(kHttpPort);
        if (client->isConnected() && client->send("GET " + path + " HTTP/1.1\r\n\r\n") &&
            client->read(kStatusOk.size(), kToolTimeoutMs) == kStatusOk) {
            if (client->read(quelmor::test::kStreamHeader.size() - kStatusOk.size(), kToolTimeoutMs) ==
                quelmor::test::kStreamHeader.substr(kStatusOk.size()))
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
    info.decoded = decodeJpeg(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), pixels, info.width,
        info.height, info.channels);
    if (info.decoded && !pixels.isEmpty()) {
        double sum = 0.0;
        for (const char sample : pixels)
            sum += static_cast<unsigned char>(sample);
        info.mean = sum / pixels.size();
    }
    return info;
}

}  // namespace livetest
