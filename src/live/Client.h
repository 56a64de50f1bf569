// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "live/CameraFrame.h"
#include "live/FocusMetrics.h"
#include "live/FrameDecoding.h"
#include "live/LatestWorker.h"
#include "live/LiveStatus.h"
#include "live/PictureDecoding.h"
#include "live/RepeatedAttempt.h"
#include "live/ServerReconnector.h"
#include "mjpeg/MJPEGStreamer.h"
#include "stretch/LiveStretch.h"
#include "stretch/PictureBuffer.h"

#include <QByteArray>
#include <QString>

#include <baseclient.h>
#include <basedevice.h>
#include <indipropertyview.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

// The live camera feed: an INDI client for one camera that shows every
// picture of the camera's "CCD1" BLOB on "/jpg" of its own HTTP server (JPEG
// passed through or stretched; FITS and raw video frames decoded, stretched
// and encoded), and every 100 ms analyses the latest picture (histogram on
// "/histogram", focus metrics).
//
// Threads: construction, start(), the locked operations and destruction run
// on the main thread. newDevice, removeDevice, updateProperty,
// removeProperty, serverDisconnected, the property callback and the BLOB
// update handler run on the INDI library's receiving thread, one at a time,
// each under callbackGate_->mutex and only while callbackGate_->closing is
// false; only the release of BLOB bytes and of what the library drops
// (removeDevice, updateProperty, removeProperty) runs whatever the gate says.
// The update handler only copies the picture and hands it to pictureWorker,
// so the receiving thread keeps up with the server whatever a picture costs;
// pictureWorker publishes "/jpg" and hands analysisWorker a pass when one is
// due. Each worker runs the newest of what it was handed and drops what it
// could not start (see receivePicture). setStretchParams and autoStretch hand
// the picture worker a task that shows the picture last shown again, unless a
// picture waits (which shows with the new stretch anyway): a picture that
// arrives later replaces the task or runs after it, so it stays the one shown.
// The publisher takes pictures from both workers, under locks of its own.
// frameMutex guards stretch, the latest frames and the focus state; it is held
// only to copy or swap. lastAnalysisTime, stretchedPictures, reportedFormats
// and shownPicture are touched only by the picture work (the stretched
// picture's rows also by the pool task of a StretchedJpegWriter, which it
// waits for); httpServerFailed only by start() and then httpServerRetry's
// thread, which retries a taken port once a second; watchedDevice,
// deviceSeen and serverDevices only under the gate; firstAttempt only by the
// reconnector's thread. The reconnector's thread makes every connection, the
// first included, never while a receiving thread runs, so start() never waits
// for the INDI server. The listener thread answers "/status" with
// statusDocument, which reads the focus figures under frameMutex and then
// liveStatus under its own mutex (LiveStatus::mutex_); the callbacks, the
// reconnector and the picture work report to liveStatus, and formatInWork and
// arrivalInWork are touched only by the picture work. Lock order:
// callbackGate_->mutex, then a worker's or the reconnector's own mutex,
// frameMutex or LiveStatus::mutex_ (never two of them).
//
// The HTTP server starts in start(), before any connection: "/viewer" answers
// and the stream paths take viewers while the INDI server or the camera is
// still missing, and show the first picture when it comes.
//
// Devices come and go: a driver that restarts, or deletes and defines its
// device again, brings a new device object; newDevice watches "CCD1" on each.
// A new definition of "CCD1" gets the update handler again, and pictures go on
// on the same HTTP server.
//
// The server goes away: when the connection ends, the reconnector connects
// again with a growing delay until a server answers (also when none answered
// at start). The HTTP server and its viewers stay; they see the last picture
// repeated until the camera's device is defined again and sends pictures.
//
// Teardown: the destructor first stops the reconnector, which waits for an
// attempt to connect under way (at most the library's connection timeout, 3 s,
// against a server that takes no connection), and the HTTP server's retries,
// then cancels the picture work of the running callback and tasks (decoding
// stops at its next row), closes the gate, joins both workers, stops the HTTP
// server and ends the INDI connection. Last it empties the library's devices:
// libindiclient 1.9.9 never frees a device whose properties it still holds
// (each property keeps a handle to its device), nor the bytes of a BLOB, and
// the callbacks and the last picture would go with them. A reconnection does
// the same before it connects, since connecting drops the old devices.
// removeDevice does the same for a device the server deletes, removeProperty
// frees the bytes of a deleted BLOB property; both do so even once the gate is
// closed, since the library forgets the object when the call returns and the
// last sweep would miss it; serverDisconnected releases every device for the
// same reason, when the connection ends. Once disconnecting has begun the
// library deletes properties without calling removeProperty, so updateProperty
// frees a BLOB's bytes as soon as the update handler has taken its copy: no
// bytes outlive their update. The gate is shared with the callbacks the library
// stores, so a callback that starts after the members are gone still finds it
// and returns.
//
// Failures go to standard error, one line for each change of state rather
// than one per attempt or picture: no INDI server (and that it keeps trying),
// the connection lost and regained, no such device after kDeviceWait (naming
// the devices the server has), the HTTP port in use (retried once a second on
// httpServerRetry's thread, pictures or not, so the server listens once the
// port frees), and each picture format that cannot be shown.
class Client : public INDI::BaseClient {
public:
    static constexpr int kIndiPort = 7624;
    static constexpr int kHttpPort = 8080;
    // How long a server that could not listen waits before the next attempt.
    static constexpr std::chrono::milliseconds kHttpServerRetryInterval{1000};
    // The stream paths of the pictures and of the histogram.
    static constexpr const char* kPicturePath = "/jpg";
    static constexpr const char* kHistogramPath = "/histogram";
    // Host strings for the INDI server on this machine.
    static constexpr const char* kTcpLoopbackHost = "127.0.0.1";
    static constexpr const char* kLocalSocketHost = "localhost:";

    // One picture as the camera sent it: its bytes (a copy of the BLOB's),
    // the BLOB's format string, and what the camera's properties said about
    // its raw video frames when it arrived.
    struct Picture {
        QByteArray bytes;
        std::string format;
        StreamGeometry geometry;
        // When it arrived: when the Picture was made, unless set.
        PictureArrival arrival = PictureArrival::now();
    };

    // Does not connect. `indiHost` names the loopback INDI server: TCP by
    // default. "localhost:" would use indiserver's local unix socket with BLOBs
    // in shared memory: about half the CPU per raw 1280 x 1024 frame, but it
    // reaches only a server on the default socket path (not one started with
    // -u), and libindiclient 1.9.9 trips a new/delete size mismatch on it
    // under AddressSanitizer.
    explicit Client(const QString& deviceName, const char* indiHost = kTcpLoopbackHost);
    ~Client() override;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Returns at once: starts the HTTP server (or its retries while the port
    // is taken), and the reconnector's thread connects and watches for the
    // device's "CCD1", and keeps trying while no INDI server answers.
    void start();

    // Stores the live stretch, linked over all channels.
    void setStretchParams(double shadows, double midtones, double highlights);
    // Computes the stretch from the latest picture's samples, at their full
    // depth, answers channel 0's values and applies them to all channels.
    // False before the first decoded picture.
    bool autoStretch(double& shadows, double& midtones, double& highlights);
    // The latest sharpness with the min, max and median of recent ones; false
    // before the first value. Arguments are written only when true.
    bool focusMetrics(double& sharpness, double& min, double& max, double& median);

    // The work of one picture: publishes it on "/jpg" and hands the analysis
    // worker a pass when one is due. Run by the picture worker; callable
    // directly (one thread at a time) to feed pictures without an INDI server.
    void processPicture(const Picture& picture);
    // Starts the HTTP server on httpPort with one worker per hardware thread
    // (at least one). Called by start() and the retries; callable directly
    // together with processPicture.
    bool startHttpServer();

    // Decodes the JPEG, refreshes the analysis frame, stretches it with the
    // current settings into `picture` and, unless `quality` is
    // StretchedJpegWriter::kStretchOnly, encodes it as JPEG into `jpeg`. False
    // when the bytes are no 1- or 3-component JPEG or encoding fails.
    bool renderStretchedJpeg(
        const unsigned char* bytes, int length, PictureBuffer& picture, int quality, QByteArray& jpeg);

protected:
    void newDevice(INDI::BaseDevice device) override;
    void removeDevice(INDI::BaseDevice device) override;
    void updateProperty(INDI::Property property) override;
    void removeProperty(INDI::Property property) override;
    void serverDisconnected(int exitCode) override;

private:
    // What the callbacks share with the destructor; it outlives the Client
    // for as long as the library keeps a callback.
    struct CallbackGate {
        std::mutex mutex;
        bool closing = false;  // guarded by mutex
        // Set without the mutex, which the running callback holds.
        std::atomic<bool> cancelling{false};
    };

    // The latest decoded picture, 8-bit planar; replaced whole, never edited.
    struct AnalysisFrame {
        QByteArray pixels;
        std::int32_t width = 0;
        std::int32_t height = 0;
        std::int32_t channels = 0;
    };

    // A copy of the analysis frame (its pixels shared, not duplicated); nothing
    // before the first decoded picture. Takes frameMutex.
    std::optional<AnalysisFrame> copyAnalysisFrame();
    // Replaces the analysis frame and the samples autoStretch reads. Takes frameMutex.
    void storeAnalysisFrame(AnalysisFrame frame);

    void onDevice(INDI::BaseDevice device);
    bool pictureWorkCancelled() const;
    void onPictureProperty(INDI::Property property);
    // On the receiving thread: copies the picture and hands it to the picture worker.
    void receivePicture(const INDI::PropertyView<IBLOB>& blob);
    // What the watched device's properties say about its raw video frames.
    StreamGeometry streamGeometry() const;

    // One attempt of the reconnector: ends what is left of the last connection and connects.
    bool reconnect();
    // Whether the next attempt is the first, which logs when no server answers.
    bool firstAttempt = true;
    // Ends the connection and releases the library's devices; false when the
    // receiving thread may still run, and the devices are left alone.
    bool endConnection();
    // Releases what the library holds of every device (see IndiRelease.h).
    void releaseDevices();
    // Logs once, kDeviceWait after a connection, when the device is missing.
    void checkDevice();
    // The "/status" document; on the listener thread.
    std::string statusDocument();
    // Tells the status of the picture just published, of the picture in work.
    void pictureShown(std::int32_t width, std::int32_t height);

    bool analysisDue(std::chrono::steady_clock::time_point now) const;
    // The JPEG path: pass-through, or stretched when a stretch is set.
    void processJpeg(const QByteArray& bytes);
    // The FITS and raw video path: decoded, then rendered, encoded and analysed.
    void processFrame(const std::string& format, const CameraFrame& frame);
    // On the main thread, after a stretch change: has the picture worker show
    // shownPicture again with it, at once rather than with the next exposure.
    void showPictureAgain();
    // Logs once per format string that a picture of it cannot be shown.
    void reportUnshowable(const std::string& format, const QString& reason);
    // Decodes the picture into `frame`, telling `rowsDecoded` of each band;
    // false for no 1- or 3-component JPEG within the decode bound, or when the
    // picture work is cancelled.
    bool decodeAnalysisFrame(
        const unsigned char* bytes, int length, AnalysisFrame& frame, const RowsDecoded& rowsDecoded = {}) const;
    void refreshAnalysisFrame(const QByteArray& jpeg);
    // From `shownPlanes` when the picture shown is the analysis's, else from the frame.
    void refreshAnalysisFrame(const CameraFrame& frame, const QByteArray& shownPlanes);
    // On the analysis worker: draws the histogram and records the sharpness
    // of the analysis frame.
    void analyse();
    void publish(const char* path, const char* bytes, std::size_t length);
    // Publishes the picture on "/jpg"; `jpeg` is its full size when encoded already.
    void publishPicture(std::shared_ptr<const quelmor::ScalablePicture> picture, const QByteArray& jpeg);
    // Whether "/jpg" has a viewer of a picture `width` wide at full size, who
    // is best served by encoding it while it is rendered.
    bool fullSizeWatched(std::int32_t width) const;
    // A picture to render into that no published picture shares any more.
    PictureBuffer& unsharedStretchedPicture();

    // One line on standard error, which the journal keeps.
    static void logLine(const QString& line);
    // Runs `callback` under the gate unless the client is closing.
    template <typename Callback>
    static void throughGate(const std::shared_ptr<CallbackGate>& gate, Callback&& callback);

    QString deviceName;
    LiveStatus liveStatus;
    // The format and arrival of the picture the picture work shows.
    std::string formatInWork;
    PictureArrival arrivalInWork;
    std::int32_t httpPort = kHttpPort;
    INDI::BaseDevice watchedDevice;
    quelmor::MJPEGStreamer streamer;
    std::chrono::steady_clock::time_point lastAnalysisTime{};
    // The last start could not listen (port taken); retried by httpServerRetry.
    bool httpServerFailed = false;
    // The stretched pictures, kept for the next ones of the same size: fresh
    // pages for every picture cost the stretch about as much as its own work.
    // Two, since the publisher keeps the last one while the next is rendered.
    std::array<PictureBuffer, 2> stretchedPictures;
    // Formats whose pictures could not be shown, each logged once.
    std::set<std::string> reportedFormats;
    // What the picture work last showed, for a new stretch to show again: a
    // decoded frame (its samples shared, not copied) or the camera's whole
    // JPEG (then the frame is empty), with its format and arrival, which the
    // status keeps telling.
    struct ShownPicture {
        std::string format;
        PictureArrival arrival;
        CameraFrame frame;
        QByteArray jpeg;
    };
    ShownPicture shownPicture;
    // Whether the device was defined since the last connection, and which
    // devices the server defined.
    bool deviceSeen = false;
    // Whether the picture worker gives freed memory back after the next
    // picture: the first since the device was defined. Touched only under the gate.
    bool returnMemoryAfterPicture = true;
    std::set<std::string> serverDevices;

    std::mutex frameMutex;
    LiveStretch stretch;
    AnalysisFrame analysisFrame;
    // The latest picture's samples at their full depth, for autoStretch.
    CameraFrame latestFrame;
    FocusHistory focusHistory;

    std::shared_ptr<CallbackGate> callbackGate_ = std::make_shared<CallbackGate>();
    // Last: their tasks and steps use the members above.
    LatestWorker analysisWorker;
    LatestWorker pictureWorker;
    ServerReconnector reconnector{{[this] { return reconnect(); }, [this] { checkDevice(); }}};
    RepeatedAttempt httpServerRetry{kHttpServerRetryInterval, [this] { return startHttpServer(); }};
};
