#pragma once

#include "EventLoopWait.h"

#include <baseclient.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace quelmor::test {

// A second INDI client (over TCP, to the server on kIndiPort) that remembers
// every "CCD1" BLOB of the simulator's camera by its 64-bit hash, to compare
// the service's output with what the camera sent: a feed that lags keeps
// publishing pictures many seconds old.
//
// Threads: libindiclient's receiving thread records each BLOB; the test's
// thread asks. Store::mutex guards every member of the Store.
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
    };

private:
    std::shared_ptr<Store> store_ = std::make_shared<Store>();
};

}  // namespace quelmor::test
