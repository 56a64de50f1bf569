#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <baseclient.h>

#include <sys/types.h>

#include <cstdint>
#include <unordered_map>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "LoopbackClient.h"

namespace livetest {

constexpr int kWaitMs = 30000;
constexpr int kHttpPort = 8080;
constexpr int kIndiPort = 7624;
inline const QString kCamera = QStringLiteral("CCD Simulator");

// Polls `condition` (also spinning the Qt event loop) until it holds or the time is up.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = kWaitMs);

// Something accepts TCP connections on 127.0.0.1:port.
bool portOpen(int port);
// A new listener could bind 0.0.0.0:port right now (with SO_REUSEADDR, as the server binds).
bool portBindable(int port);

// A program started with posix_spawn in a process group of its own, output
// thrown away. (QProcess would run code between its fork and exec that
// confuses ThreadSanitizer's view of the parent's locks.)
class SpawnedProcess {
public:
    explicit SpawnedProcess(const QStringList& arguments);
    // Kills the whole group if it still runs.
    ~SpawnedProcess();
    SpawnedProcess(const SpawnedProcess&) = delete;
    SpawnedProcess& operator=(const SpawnedProcess&) = delete;

    bool isStarted() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // The exit code, or -1 when it did not exit normally within the time.
    int waitForExitCode(int timeoutMs);
    void killGroup();

private:
    bool reap(bool wait);

    pid_t pid_ = -1;
    bool exited_ = false;
    int exitCode_ = -1;
};

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
    std::unique_ptr<SpawnedProcess> server_;
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
    bool waitForBlob(const std::string& bytes, int timeoutMs = kWaitMs) const;
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
std::unique_ptr<quelmor::test::LoopbackClient> openStream(const std::string& path, int timeoutMs = kWaitMs);

// Geometry of a JPEG picture, from the live decoder.
struct JpegInfo {
    bool decoded = false;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t channels = 0;
    double mean = 0.0;  // over every sample
};
JpegInfo inspectJpeg(const std::string& bytes);

// Holds a listening socket on 0.0.0.0:port, as another program would.
class PortHolder {
public:
    explicit PortHolder(int port);
    ~PortHolder();
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;
    bool holds() const { return holds_; }

private:
    int socket_ = -1;
    bool holds_ = false;
};

// Writes a small valid SER file (8-bit mono, 3 frames of 16 x 8) and returns its path.
QString writeTinySerFile(const QTemporaryDir& directory);

}  // namespace livetest
