#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <baseclient.h>

#include <cstdint>
#include <unordered_map>
#include <memory>
#include <mutex>
#include <string>

#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "LoopbackClient.h"
#include "TestSupport.h"

namespace livetest {

inline const QString kCamera = QStringLiteral("CCD Simulator");

// indiserver with indi_simulator_ccd on port 7624, in its own process group
// and with a temporary HOME; killed with its driver when the object goes.
class IndiSimulator {
public:
    IndiSimulator() = default;
    ~IndiSimulator() { kill(); }
    IndiSimulator(const IndiSimulator&) = delete;
    IndiSimulator& operator=(const IndiSimulator&) = delete;

    // Starts the server and waits until the camera's CONNECTION property exists.
    bool start();
    // Starts the server with tests/live/picture_driver.py as the driver of
    // `device` instead of the simulator; it defines "CCD1" at once.
    bool startPictureDriver(const QString& device);
    // One command line for the picture driver ("send PATH SECONDS", "define", ...).
    bool tellPictureDriver(const QString& command);
    // Kills the simulator's driver process, as a crash would; indiserver starts
    // it again, with the camera switched off.
    bool killDriver();
    // Switches the camera on; "CCD1" is defined then.
    bool connectCamera();
    // Switches it off; the driver deletes its properties, "CCD1" among them.
    bool disconnectCamera();
    // Noise and an offset give the picture content; JPEG streaming on "CCD1".
    bool streamWithContent();
    bool stopStreaming();
    // Sets "property.element=value" assignments on the camera with indi_setprop.
    bool set(const QStringList& assignments);
    // Kills the server and its driver at once, as a crash would.
    void kill();

private:
    bool propertyExists(const QString& property);
    // The first child of indiserver, 0 when there is none.
    pid_t driverPid() const;

    QTemporaryDir home_;
    std::unique_ptr<quelmor::test::ChildProcess> server_;
    int pictureDriverControl_ = -1;
};

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

// Writes a small valid SER file (8-bit mono, 3 frames of 16 x 8) and returns its path.
QString writeTinySerFile(const QTemporaryDir& directory);

}  // namespace livetest
