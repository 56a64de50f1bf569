// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "live/AnalysisWorker.h"
#include "live/FocusMetrics.h"
#include "live/FrameDecoding.h"
#include "mjpeg/MJPEGStreamer.h"
#include "stretch/LiveStretch.h"

#include <QByteArray>
#include <QImage>
#include <QString>

#include <baseclient.h>
#include <basedevice.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

// The live camera feed: an INDI client for one camera that publishes every
// picture of the camera's "CCD1" BLOB on "/jpg" of its own HTTP server,
// unchanged or stretched, and every 100 ms analyses the latest picture
// (histogram on "/histogram", focus metrics).
//
// Threads: construction, start(), the locked operations and destruction run
// on the main thread. newDevice, removeDevice, updateProperty,
// removeProperty, the property callback and the BLOB update handler run on
// the INDI library's receiving thread, one at a time, each under
// callbackGate_->mutex and only while callbackGate_->closing is false; only
// the release of BLOB bytes and of what the library drops (removeDevice,
// updateProperty, removeProperty) runs whatever the gate says. The analysis passes run on
// analysisWorker's one thread, owned and joined by the Client: the handler
// hands a pass over when one is due and publishes the next picture at once,
// however long the pass takes. So "/jpg" is published from the receiving
// thread and "/histogram" from the worker: the publisher takes pictures from
// both, under locks of its own. frameMutex guards stretch, the analysis frame
// and the focus state; it is held only to copy or swap. lastAnalysisTime,
// watchedDevice, stretchedPicture and the server-retry fields are touched
// only by the callbacks (the stretched picture's rows also by the pool task
// of a StretchedJpegWriter, which the handler waits for). Lock order:
// callbackGate_->mutex, then analysisWorker's own mutex or frameMutex (never
// both).
//
// Devices come and go: a driver that restarts, or deletes and defines its
// device again, brings a new device object; newDevice watches "CCD1" on each.
// A new definition of "CCD1" gets the update handler again, and pictures go on
// on the same HTTP server, which starts once only.
//
// Teardown: the destructor first cancels the picture work of the running
// callback and analysis pass (decoding stops at its next row), then closes
// the gate, joins the analysis worker, stops the HTTP server and ends the
// INDI connection. Last it empties the library's devices: libindiclient 1.9.9
// never frees a device whose properties it still holds (each property keeps a
// handle to its device), nor the bytes of a BLOB, and the callbacks and the
// last picture would go with them. removeDevice does the same for a device
// the server deletes, removeProperty frees the bytes of a deleted BLOB
// property; both do so even once the gate is closed, since the library
// forgets the object when the call returns and the last sweep would miss it.
// Once disconnecting has begun the library deletes properties without
// calling removeProperty, so updateProperty frees a BLOB's bytes as soon as
// the update handler has taken its copy: no bytes outlive their update.
// The gate is shared with the callbacks the library stores, so a callback that
// starts after the members are gone still finds it and returns.
//
// Failures: a server that cannot listen (port taken) is started again from the
// update handler at most once a second, so pictures flow once the port frees.
// A lost INDI connection ends the pictures; the HTTP server and the locked
// operations go on with the last state until the Client is replaced.
class Client : public INDI::BaseClient {
public:
    static constexpr int kIndiPort = 7624;
    static constexpr int kHttpPort = 8080;
    // The stream paths of the pictures and of the histogram.
    static constexpr const char* kPicturePath = "/jpg";
    static constexpr const char* kHistogramPath = "/histogram";
    // Host strings for the INDI server on this machine.
    static constexpr const char* kTcpLoopbackHost = "127.0.0.1";
    static constexpr const char* kLocalSocketHost = "localhost:";

    // Does not connect. `indiHost` names the loopback INDI server: TCP by
    // default; "localhost:" would use indiserver's local unix socket with BLOBs
    // in shared memory, which measured no faster here and trips a new/delete
    // size mismatch inside libindiclient 1.9.9 under AddressSanitizer.
    explicit Client(const QString& deviceName, const char* indiHost = kTcpLoopbackHost);
    ~Client() override;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Connects and watches the device for "CCD1". False when no INDI server
    // answers; the client then stays idle.
    bool start();

    // Stores the live stretch, linked over all channels.
    void setStretchParams(double shadows, double midtones, double highlights);
    // Computes the stretch from the analysis frame, answers channel 0's values
    // and applies them to all channels. False before the first decoded picture.
    bool autoStretch(double& shadows, double& midtones, double& highlights);
    // The latest sharpness with the min, max and median of recent ones; false
    // before the first value. Arguments are written only when true.
    bool focusMetrics(double& sharpness, double& min, double& max, double& median);

    // The work of one "CCD1" update: publishes the picture on "/jpg" and hands
    // the analysis worker a pass when one is due. Called by the update
    // handler; callable directly (one thread at a time) to feed pictures
    // without an INDI server.
    void processPicture(const unsigned char* bytes, int length);
    // Starts the HTTP server on httpPort with one worker per hardware thread
    // (at least one). Called by the property callback; callable directly
    // together with processPicture.
    bool startHttpServer();

    // Decodes the JPEG, refreshes the analysis frame, stretches it with the
    // current settings and encodes it as JPEG into `jpeg`. False when the bytes
    // are no 1- or 3-component JPEG or encoding fails.
    bool renderStretchedJpeg(const unsigned char* bytes, int length, QByteArray& jpeg);

protected:
    void newDevice(INDI::BaseDevice device) override;
    void removeDevice(INDI::BaseDevice device) override;
    void updateProperty(INDI::Property property) override;
    void removeProperty(INDI::Property property) override;

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

    void onDevice(INDI::BaseDevice device);
    bool pictureWorkCancelled() const;
    void onPictureProperty(INDI::Property property);
    void retryHttpServerIfDue(std::chrono::steady_clock::time_point now);
    bool analysisDue(std::chrono::steady_clock::time_point now) const;
    // Decodes the picture into `frame`, telling `rowsDecoded` of each band;
    // false for no 1- or 3-component JPEG within the decode bound, or when the
    // picture work is cancelled.
    bool decodeAnalysisFrame(const unsigned char* bytes, int length, AnalysisFrame& frame,
        const RowsDecoded& rowsDecoded = {}) const;
    void refreshAnalysisFrame(const unsigned char* bytes, int length);
    // On the analysis worker: refreshes the analysis frame from `jpeg` unless
    // it is empty (a stretched picture has refreshed it already), then draws
    // the histogram and records the sharpness of the frame.
    void runAnalysisPass(const QByteArray& jpeg);
    void publish(const char* path, const char* bytes, std::size_t length);

    // Runs `callback` under the gate unless the client is closing.
    template <typename Callback>
    static void throughGate(const std::shared_ptr<CallbackGate>& gate, Callback&& callback);

    QString deviceName;
    std::int32_t httpPort = kHttpPort;
    INDI::BaseDevice watchedDevice;
    quelmor::MJPEGStreamer streamer;
    std::chrono::steady_clock::time_point lastAnalysisTime{};
    // The server is started by the first definition of "CCD1" only.
    bool httpServerStarted = false;
    // The last start could not listen (port taken); retried from the handler.
    bool httpServerFailed = false;
    std::chrono::steady_clock::time_point lastHttpServerAttempt{};
    // The stretched picture, kept for the next one of the same size: fresh
    // pages for every picture cost the stretch about as much as its own work.
    QImage stretchedPicture;

    std::mutex frameMutex;
    LiveStretch stretch;
    AnalysisFrame analysisFrame;
    FocusHistory focusHistory;

    std::shared_ptr<CallbackGate> callbackGate_ = std::make_shared<CallbackGate>();
    // Last: its passes use the members above.
    AnalysisWorker analysisWorker;
};
