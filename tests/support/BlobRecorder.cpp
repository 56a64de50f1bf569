// SPDX-License-Identifier: GPL-3.0-or-later
#include "BlobRecorder.h"

#include "IndiSimulator.h"
#include "TestSupport.h"
#include "live/IndiRelease.h"

#include <basedevice.h>
#include <indipropertyblob.h>

#include <algorithm>
#include <functional>
#include <vector>

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
    // The devices are ours to clear only once the receiving thread has ended.
    if (isServerConnected() && !disconnectServer())
        return;
    // Those the library still lists, and those it dropped when a server went.
    std::vector<INDI::BaseDevice> devices = getDevices();
    {
        std::lock_guard<std::mutex> lock(store_->mutex);
        devices.insert(devices.end(), store_->devices.begin(), store_->devices.end());
        store_->devices.clear();
    }
    // libindiclient 1.9.9 frees neither a BLOB's bytes nor the properties,
    // which hold their device.
    for (INDI::BaseDevice& device : devices)
        releaseDevice(device);
}

void BlobRecorder::removeProperty(INDI::Property property)
{
    std::lock_guard<std::mutex> lock(store_->mutex);
    if (!store_->closing)
        releaseBlobBytes(property);
}

bool BlobRecorder::start()
{
    watchDevice(IndiSimulator::kDevice, [store = store_](INDI::BaseDevice device) {
        {
            std::lock_guard<std::mutex> lock(store->mutex);
            store->devices.push_back(device);
        }
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
