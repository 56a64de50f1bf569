// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

// What the running picture source is: enough for a process that systemd
// restarts after a crash to show the same thing again without being asked.
struct SourceRecord {
    enum class Kind { Live, Ser };

    Kind kind = Kind::Live;
    // Live feed: the camera, and the stretch a caller set (shadows, midtones, highlights).
    QString device;
    std::optional<std::array<double, 3>> stretch;
    // SER playback: the file, the frame shown, the rate and whether it plays.
    QString serPath;
    int frame = 0;
    double fps = 0.0;
    bool playing = false;
    // How many times in a row a restarted process took this source up; a
    // source that crashes every process that shows it must not do so for ever.
    int resumes = 0;

    QByteArray toJson() const;
    // nullopt, with the reason in `error`, for text that is not a record.
    static std::optional<SourceRecord> fromJson(const QByteArray& text, QString* error);
};

// The record's file in the runtime directory, which a clean end of the
// service removes and a crash leaves behind. An empty path keeps nothing.
class SourceRecordFile {
public:
    explicit SourceRecordFile(QString path = {});

    // The file in systemd's RuntimeDirectory= when the unit made one, else in
    // $XDG_RUNTIME_DIR; empty without either, so nothing is kept.
    static QString defaultPath();

    const QString& path() const { return path_; }
    // False with nothing changed when the file cannot be written.
    bool write(const SourceRecord& record) const;
    // nullopt with an empty `error` when there is no record.
    std::optional<SourceRecord> read(QString* error) const;
    void remove() const;

private:
    QString path_;
};
