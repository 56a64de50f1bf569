// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/Streamer.h"

#include "StreamerAdaptor.h"
#include "live/Client.h"
#include "ser/SerPlayer.h"

#include <QDBusConnection>
#include <QTimer>

#include <cstdio>
#include <utility>

namespace {
const QString kObjectPath = QStringLiteral("/Streamer");
constexpr int kNoFrame = -1;
// A source that crashed this many processes in a row is not taken up again:
// the one that first showed it and those that took it up after it.
constexpr int kMaxCrashes = 3;
// A resumed source that runs this long did not cause the crash before it.
constexpr int kResumeSettledMs = 60 * 1000;
constexpr qint64 kFrameRecordIntervalMs = 1000;

void logLine(const QString& line)
{
    std::fprintf(stderr, "dorvenquill-streamer: %s\n", qPrintable(line));
}
}  // namespace

Streamer::Streamer() : QObject(nullptr)
{
    // The adaptor must exist before registration so that ExportAdaptors finds it;
    // it is a Qt child and dies with this object.
    new StreamerAdaptor(this);

    // Fails only without a bus, which main then reports before it ends.
    QDBusConnection::sessionBus().registerObject(kObjectPath, this, QDBusConnection::ExportAdaptors);
}

Streamer::~Streamer()
{
    destroySerPlayer();
    client.reset();
    forgetRecord();
}

void Streamer::destroySerPlayer()
{
    // reset() clears the owner before it deletes the player.
    serPlayer.reset();
}

void Streamer::start(const QString& device)
{
    destroySerPlayer();
    // The old feed goes first: it holds the HTTP port, which the new one
    // listens on from its start.
    client.reset();
    client = std::make_unique<Client>(device);
    // Without a server the client says so and keeps trying.
    client->start();
    SourceRecord live;
    live.device = device;
    keepRecord(live);
}

void Streamer::stop()
{
    destroySerPlayer();
    forgetRecord();
    emit finished();
}

bool Streamer::openSer(const QString& path)
{
    client.reset();
    if (!serPlayer) {
        serPlayer = std::make_unique<SerPlayer>(this);
        connect(serPlayer.get(), &SerPlayer::frameChanged, this, &Streamer::serFrameChanged);
        connect(serPlayer.get(), &SerPlayer::frameChanged, this, &Streamer::onSerFrameChanged);
    }
    record.reset();
    if (!serPlayer->open(path)) {
        forgetRecord();
        return false;
    }
    record = SourceRecord{};
    record->kind = SourceRecord::Kind::Ser;
    record->serPath = path;
    recordSerState();
    return true;
}

void Streamer::playSer()
{
    if (serPlayer) {
        serPlayer->play();
        recordSerState();
    }
}

void Streamer::pauseSer()
{
    if (serPlayer) {
        serPlayer->pause();
        recordSerState();
    }
}

void Streamer::stopSer()
{
    if (serPlayer) {
        serPlayer->stop();
        forgetRecord();
    }
}

bool Streamer::seekSer(int frame)
{
    const bool shown = serPlayer && serPlayer->seek(frame);
    if (shown)
        recordSerState();
    return shown;
}

void Streamer::setSerSpeed(double fps)
{
    if (serPlayer) {
        serPlayer->setSpeed(fps);
        recordSerState();
    }
}

int Streamer::serCurrentFrame()
{
    return serPlayer ? serPlayer->currentFrame() : kNoFrame;
}

int Streamer::serTotalFrames()
{
    return serPlayer ? serPlayer->totalFrames() : 0;
}

int Streamer::serWidth()
{
    return serPlayer ? serPlayer->width() : 0;
}

int Streamer::serHeight()
{
    return serPlayer ? serPlayer->height() : 0;
}

bool Streamer::serIsPlaying()
{
    return serPlayer && serPlayer->isPlaying();
}

QString Streamer::serLastError()
{
    return serPlayer ? serPlayer->lastError() : QString();
}

void Streamer::setStretchParams(double shadows, double midtones, double highlights)
{
    if (!client)
        return;
    client->setStretchParams(shadows, midtones, highlights);
    recordStretch(shadows, midtones, highlights);
}

bool Streamer::autoStretch(double& shadows, double& midtones, double& highlights)
{
    if (!client || !client->autoStretch(shadows, midtones, highlights))
        return false;
    // The computed stretch is now the one shown.
    recordStretch(shadows, midtones, highlights);
    return true;
}

bool Streamer::focusMetrics(double& sharpness, double& min, double& max, double& median)
{
    return client && client->focusMetrics(sharpness, min, max, median);
}

void Streamer::keepRecordIn(SourceRecordFile file)
{
    recordFile = std::move(file);
    resumeRecordedSource();
}

void Streamer::resumeRecordedSource()
{
    QString error;
    const std::optional<SourceRecord> recorded = recordFile.read(&error);
    if (!recorded) {
        if (!error.isEmpty()) {
            logLine(QStringLiteral("dropped the unreadable record of the last source, %1: %2")
                        .arg(recordFile.path(), error));
            recordFile.remove();
        }
        return;
    }
    if (recorded->resumes + 1 >= kMaxCrashes) {
        logLine(QStringLiteral(
            "dropped the record of the last source: the last %1 processes that showed it ended without stop")
                    .arg(kMaxCrashes));
        recordFile.remove();
        return;
    }
    // Counted before the source is taken up, with the recorded frame and
    // state: a process that dies while taking it up counts all the same, and
    // the next one still finds where the source was.
    SourceRecord raised = *recorded;
    raised.resumes = recorded->resumes + 1;
    recordFile.write(raised);
    holdingRecordFile = true;
    const bool live = recorded->kind == SourceRecord::Kind::Live;
    const bool resumed = live ? resumeLiveFeed(*recorded) : resumeSerPlayback(*recorded);
    holdingRecordFile = false;
    if (!resumed)
        return;
    SourceRecord shown = *record;
    shown.resumes = raised.resumes;
    keepRecord(shown);
    QTimer::singleShot(kResumeSettledMs, this, [this] {
        if (record && record->resumes > 0) {
            SourceRecord settled = *record;
            settled.resumes = 0;
            keepRecord(settled);
        }
    });
}

bool Streamer::resumeLiveFeed(const SourceRecord& recorded)
{
    logLine(QStringLiteral("the last process ended without stop; showing the live feed of \"%1\" again")
                .arg(recorded.device));
    start(recorded.device);
    if (recorded.stretch)
        setStretchParams((*recorded.stretch)[0], (*recorded.stretch)[1], (*recorded.stretch)[2]);
    return true;
}

bool Streamer::resumeSerPlayback(const SourceRecord& recorded)
{
    if (!openSer(recorded.serPath)) {
        logLine(QStringLiteral("dropped the record of the last source, %1: %2").arg(recorded.serPath, serLastError()));
        return false;
    }
    logLine(QStringLiteral("the last process ended without stop; showing %1 again from frame %2")
                .arg(recorded.serPath)
                .arg(recorded.frame));
    setSerSpeed(recorded.fps);
    seekSer(recorded.frame);
    if (recorded.playing)
        playSer();
    return true;
}

void Streamer::keepRecord(const SourceRecord& updated)
{
    record = updated;
    if (!holdingRecordFile)
        recordFile.write(updated);
}

void Streamer::forgetRecord()
{
    record.reset();
    recordFile.remove();
}

void Streamer::recordStretch(double shadows, double midtones, double highlights)
{
    if (!record)
        return;
    SourceRecord updated = *record;
    updated.stretch = std::array<double, 3>{shadows, midtones, highlights};
    keepRecord(updated);
}

void Streamer::recordSerState()
{
    if (!record || record->kind != SourceRecord::Kind::Ser)
        return;
    SourceRecord updated = *record;
    updated.frame = serPlayer->currentFrame();
    updated.fps = serPlayer->speed();
    updated.playing = serPlayer->isPlaying();
    keepRecord(updated);
    frameRecorded.start();
}

void Streamer::onSerFrameChanged(int frame)
{
    if (!record || !serPlayer->isPlaying() ||
        (frameRecorded.isValid() && frameRecorded.elapsed() < kFrameRecordIntervalMs))
        return;
    SourceRecord updated = *record;
    updated.frame = frame;
    keepRecord(updated);
    frameRecorded.start();
}
