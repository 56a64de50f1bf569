// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mjpeg/MJPEGStreamer.h"
#include "ser/SerFrameRenderer.h"
#include "ser/SerReader.h"
#include "ser/SerStatus.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>

// Plays a SER file as a Motion-JPEG stream: renders one frame at a time
// (demosaiced, stretched with parameters taken from frame 0), publishes it as
// JPEG on "/jpg" of its own HTTP server on port 8080, and advances through
// the file on a timer, wrapping to frame 0 at the end.
//
// Thread: main (Qt event loop) only: the commands, the timer ticks, rendering
// and encoding all run there, so nothing here needs a lock. The HTTP server's
// own threads send the published pictures (see MJPEGStreamer); its listener
// thread answers "/status" from `status`, which the main thread keeps up to
// date and which takes a mutex of its own (SerStatus::mutex_).
class SerPlayer : public QObject {
    Q_OBJECT

public:
    static constexpr int kHttpPort = 8080;
    static constexpr double kDefaultFps = 15.0;

    explicit SerPlayer(QObject* parent = nullptr);
    ~SerPlayer() override;

    // Stops playback and the HTTP server, opens `path`, starts the server and
    // publishes frame 0. False when the file is refused, its frames are too
    // large to show (SerFrameRenderer::canShow) or the server cannot start;
    // the reason is in lastError() (and `error` when given) and no file stays open.
    bool open(const QString& path, QString* error = nullptr);
    // Starts (or restarts) the timer when a file is open.
    void play();
    void pause();
    // Stops the timer and the HTTP server and closes the file.
    void stop();
    // Shows frame `frame`, clamped to the file; false without a file or when
    // the frame cannot be rendered. The timer is left as it is.
    bool seek(int frame);
    // Rates that are not positive (NaN among them) mean 1 frame per second.
    void setSpeed(double fps);
    double speed() const { return fps; }

    int currentFrame() const { return currentFrame_; }
    int totalFrames() const { return reader.frameCount(); }
    int width() const { return reader.width(); }
    int height() const { return reader.height(); }
    bool isPlaying() const { return timer.isActive(); }
    const QString& lastError() const { return lastError_; }
    // The timer interval the current rate gives: max(1, trunc(1000 / fps)) ms.
    int playbackIntervalMs() const;

signals:
    void frameChanged(int frame, int totalFrames);
    void playbackFinished();

private slots:
    void onTimeout();

private:
    Q_DISABLE_COPY_MOVE(SerPlayer)

    bool startStreamer();
    void stopStreamer();
    bool publishFrame(int index);
    // Tells the status whether the timer runs, and the rate.
    void reportPlayback();

    SerReader reader;
    // Before the streamer, whose listener reads it.
    SerStatus status;
    quelmor::MJPEGStreamer streamer;
    QTimer timer;
    std::int32_t port = kHttpPort;
    std::int32_t currentFrame_ = 0;
    double fps = kDefaultFps;
    bool streamerRunning = false;
    // Holds the stretch of the open file with the render buffers.
    SerFrameRenderer renderer;
    QString lastError_;
};
