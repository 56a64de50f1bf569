// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "service/SourceRecord.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class Client;
class SerPlayer;

// The control object that a controlling program drives over the session bus.
// It owns the current picture source, a live camera feed or a SER player, and
// answers fixed defaults while no source exists.
//
// Thread: main (Qt event loop) only. Every operation runs to completion there.
class Streamer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tavrinholm.dorvenquill.Streamer")

public:
    // Attaches the adaptor and registers at "/Streamer" on the session bus;
    // main claims the service name. Without a bus the object works unreached.
    Streamer();
    ~Streamer() override;

    // From now on describes the running source in `file`, which an orderly
    // end removes and a crash leaves behind; first takes up the source that a
    // crashed process left there. Called once the service name is owned, so
    // that a second instance neither shows nor removes the first one's source.
    void keepRecordIn(SourceRecordFile file);

    Q_SCRIPTABLE Q_INVOKABLE void start(const QString& device);
    Q_SCRIPTABLE Q_INVOKABLE void stop();
    Q_SCRIPTABLE Q_INVOKABLE bool openSer(const QString& path);
    Q_SCRIPTABLE Q_INVOKABLE void playSer();
    Q_SCRIPTABLE Q_INVOKABLE void pauseSer();
    Q_SCRIPTABLE Q_INVOKABLE void stopSer();
    Q_SCRIPTABLE Q_INVOKABLE bool seekSer(int frame);
    Q_SCRIPTABLE Q_INVOKABLE void setSerSpeed(double fps);
    Q_SCRIPTABLE Q_INVOKABLE int serCurrentFrame();
    Q_SCRIPTABLE Q_INVOKABLE int serTotalFrames();
    Q_SCRIPTABLE Q_INVOKABLE int serWidth();
    Q_SCRIPTABLE Q_INVOKABLE int serHeight();
    Q_SCRIPTABLE Q_INVOKABLE bool serIsPlaying();
    Q_SCRIPTABLE Q_INVOKABLE QString serLastError();
    Q_SCRIPTABLE Q_INVOKABLE void setStretchParams(double shadows, double midtones, double highlights);
    // Reference arguments are written only when the answer is true.
    Q_SCRIPTABLE Q_INVOKABLE bool autoStretch(double& shadows, double& midtones, double& highlights);
    Q_SCRIPTABLE Q_INVOKABLE bool focusMetrics(double& sharpness, double& min, double& max, double& median);

signals:
    // Ends the process through the connection made in main; never on the bus.
    void finished();
    Q_SCRIPTABLE void serFrameChanged(int frame, int totalFrames);

private:
    Q_DISABLE_COPY_MOVE(Streamer)

    // The live feed, when one runs; its destruction ends the feed and frees the HTTP port.
    std::unique_ptr<Client> client;

    // Empties serPlayer: the owner is cleared, then the player destroyed.
    void destroySerPlayer();

    void resumeRecordedSource();
    bool resumeLiveFeed(const SourceRecord& recorded);
    bool resumeSerPlayback(const SourceRecord& recorded);
    // Keeps `record`, and in its file unless holdingRecordFile.
    void keepRecord(const SourceRecord& updated);
    void forgetRecord();
    void recordStretch(double shadows, double midtones, double highlights);
    // The player's file, frame, rate and state, as the record keeps them.
    void recordSerState();
    void onSerFrameChanged(int frame);

    SourceRecordFile recordFile;
    // The running source as recorded; empty while none runs.
    std::optional<SourceRecord> record;
    // While a recorded source is taken up, its file keeps the raised count
    // with the recorded frame and state, whatever the steps in between set.
    bool holdingRecordFile = false;
    // A playing file's frame is recorded at most once per kFrameRecordIntervalMs.
    QElapsedTimer frameRecorded;

    // The SER player, created on the first openSer and kept for later files.
    // It also has this object as its Qt parent; being deleted here first, it
    // leaves the parent's children before the QObject base would delete it.
    std::unique_ptr<SerPlayer> serPlayer;
};
