#pragma once

#include <QString>
#include <QTemporaryDir>

#include <baseclient.h>

#include <cstdint>
#include <unordered_map>
#include <memory>
#include <mutex>
#include <string>

#include "EventLoopWait.h"
#include "IndiSimulator.h"
#include "LoopbackClient.h"
#include "TestSupport.h"

namespace livetest {

inline const QString kCamera = QString::fromLatin1(quelmor::test::IndiSimulator::kDevice);

// A second INDI client (over TCP) that remembers every "CCD1" BLOB of the
// camera by its 64-bit hash, to compare the service's output with what the
// camera sent: a feed that lags keeps publishing pictures many seconds old.
class BlobRecorder : public INDI::BaseClient {
public:
    BlobRecorder();
    ~BlobRecorder() override;

    bool start();
    // How many BLOBs arrived so far.
    std::size_t count() const;
    // Whether `bytes` equals a BLOB that arrived, waiting for it up to timeoutMs.
    bool waitForBlob(const std::string& bytes, int timeoutMs = quelmor::test::kEventWaitMs) const;
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

// Opens "GET path" on port 8080 once the path is served (the server answers
// 404 before its first picture); null when it never is.
std::unique_ptr<quelmor::test::LoopbackClient> openStream(const std::string& path, int timeoutMs = quelmor::test::kEventWaitMs);

// Geometry of a JPEG picture, from the live decoder.
struct JpegInfo {
    bool decoded = false;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t channels = 0;
    double mean = 0.0;  // over every sample
};
JpegInfo inspectJpeg(const std::string& bytes);

}  // namespace livetest
