// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "EventLoopWait.h"

#include <basedevice.h>
#include <baseclient.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace quelmor::test {

// A second INDI client (over TCP, to the server on kIndiPort) that remembers
// every "CCD1" BLOB of the simulator's camera by its 64-bit hash, to compare
// the service's output with what the camera sent: a feed that lags keeps
// publishing pictures many seconds old.
//
// Threads: libindiclient's receiving thread records each BLOB and frees the
// bytes of deleted properties; the test's thread asks. Store::mutex guards
// every member of the Store. The destructor ends the connection, then frees
// what the library keeps of every device it saw.
class BlobRecorder : public INDI::BaseClient {
public:
    BlobRecorder();
    ~BlobRecorder() override;

    bool start();
    // How many BLOBs arrived so far.
    std::size_t count() const;
    // Whether `bytes` equals a BLOB that arrived, waiting for it up to timeoutMs.
    bool waitForBlob(const std::string& bytes, int timeoutMs = kEventWaitMs) const;
    // The count() at which `bytes` arrived (1 for the first BLOB); 0 if it has not.
    std::size_t arrivalNumber(const std::string& bytes) const;
    // The newest BLOB, empty before the first.
    std::string newest() const;
    // The longest time between two BLOBs so far.
    long long longestGapMs() const;

    // Shared with the library's callbacks, which may outlive the recorder.
    struct Store {
        mutable std::mutex mutex;
        bool closing = false;
        std::unordered_map<std::size_t, std::size_t> arrivalByHash;
        std::string newest;
        std::size_t count = 0;
        long long lastArrivalMs = 0;
        long long longestGapMs = 0;
        // Every definition of the camera: the library drops its own list
        // when the server goes, and the devices are released at the end.
        std::vector<INDI::BaseDevice> devices;
    };

private:
    // Frees the bytes of a BLOB property the driver deletes: the library never does.
    void removeProperty(INDI::Property property) override;

    std::shared_ptr<Store> store_ = std::make_shared<Store>();
};

}  // namespace quelmor::test
