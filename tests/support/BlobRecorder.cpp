#include "BlobRecorder.h"

#include "IndiSimulator.h"
#include "TestSupport.h"

#include <basedevice.h>
#include <indipropertyblob.h>

#include <algorithm>
#include <functional>

namespace quelmor::test {

namespace {

constexpr const char* kPictureProperty = "CCD1";

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
    watchDevice(IndiSimulator::kDevice, [store = store_](INDI::BaseDevice device) {
        device.watchProperty(kPictureProperty, [store](INDI::Property property) {
            auto* blob = static_cast<INDI::PropertyView<IBLOB>*>(property.getProperty());
            property.onUpdate([store, blob] {
                std::lock_guard<std::mutex> lock(store->mutex);
                if (store->closing || blob->count() < 1)
                    return;
                const INDI::WidgetView<IBLOB>& element = *blob->at(0);
                store->newest.assign(static_cast<const char*>(element.getBlob()), element.getBlobLen());
                ++store->count;
                const long long now = nowMs();
                if (store->count > 1)
                    store->longestGapMs = std::max(store->longestGapMs, now - store->lastArrivalMs);
                store->lastArrivalMs = now;
                store->arrivalByHash.emplace(std::hash<std::string>()(store->newest), store->count);
            });
        });
    });
    if (!connectServer())
        return false;
    setBLOBMode(B_ONLY, IndiSimulator::kDevice, kPictureProperty);
    return true;
}

std::size_t BlobRecorder::count() const
{
    std::lock_guard<std::mutex> lock(store_->mutex);
    return store_->count;
}

bool BlobRecorder::waitForBlob(const std::string& bytes, int timeoutMs) const
{
    return waitUntil([&] { return arrivalNumber(bytes) != 0; }, timeoutMs);
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

}  // namespace quelmor::test
