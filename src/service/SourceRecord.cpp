// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/SourceRecord.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

const QString kLiveKind = QStringLiteral("live");
const QString kSerKind = QStringLiteral("ser");
const QString kFileName = QStringLiteral("source.json");
const QString kServiceDirectory = QStringLiteral("dorvenquill-streamer");
// A record is a few hundred bytes; anything far larger is not one of ours.
constexpr qint64 kMaxRecordBytes = 64 * 1024;

bool isFinite(const QJsonValue& value)
{
    return value.isDouble() && std::isfinite(value.toDouble());
}

std::optional<SourceRecord> refuse(QString* error, const QString& reason)
{
    if (error)
        *error = reason;
    return std::nullopt;
}

}  // namespace

QByteArray SourceRecord::toJson() const
{
    QJsonObject object;
    object[QStringLiteral("resumes")] = resumes;
    if (kind == Kind::Live) {
        object[QStringLiteral("source")] = kLiveKind;
        object[QStringLiteral("device")] = device;
        if (stretch)
            object[QStringLiteral("stretch")] = QJsonArray{(*stretch)[0], (*stretch)[1], (*stretch)[2]};
    } else {
        object[QStringLiteral("source")] = kSerKind;
        object[QStringLiteral("path")] = serPath;
        object[QStringLiteral("frame")] = frame;
        object[QStringLiteral("fps")] = fps;
        object[QStringLiteral("playing")] = playing;
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<SourceRecord> SourceRecord::fromJson(const QByteArray& text, QString* error)
{
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (!document.isObject())
        return refuse(error, QStringLiteral("not a JSON object: %1").arg(parseError.errorString()));
    const QJsonObject object = document.object();

    SourceRecord record;
    const QJsonValue resumes = object.value(QStringLiteral("resumes"));
    if (!resumes.isDouble() || resumes.toInt(-1) < 0)
        return refuse(error, QStringLiteral("no count of resumes"));
    record.resumes = resumes.toInt();

    const QString kind = object.value(QStringLiteral("source")).toString();
    if (kind == kLiveKind) {
        record.kind = Kind::Live;
        record.device = object.value(QStringLiteral("device")).toString();
        if (record.device.isEmpty())
            return refuse(error, QStringLiteral("a live feed without a device"));
        if (object.contains(QStringLiteral("stretch"))) {
            const QJsonArray values = object.value(QStringLiteral("stretch")).toArray();
            if (values.size() != 3 || !isFinite(values[0]) || !isFinite(values[1]) || !isFinite(values[2]))
                return refuse(error, QStringLiteral("a stretch that is not three numbers"));
            record.stretch = std::array<double, 3>{values[0].toDouble(), values[1].toDouble(), values[2].toDouble()};
        }
        return record;
    }
    if (kind == kSerKind) {
        record.kind = Kind::Ser;
        record.serPath = object.value(QStringLiteral("path")).toString();
        const QJsonValue frame = object.value(QStringLiteral("frame"));
        const QJsonValue fps = object.value(QStringLiteral("fps"));
        const QJsonValue playing = object.value(QStringLiteral("playing"));
        if (record.serPath.isEmpty() || !frame.isDouble() || frame.toInt(-1) < 0 || !isFinite(fps) ||
            fps.toDouble() <= 0.0 || !playing.isBool())
            return refuse(error, QStringLiteral("a SER file without its path, frame, rate or state"));
        record.frame = frame.toInt();
        record.fps = fps.toDouble();
        record.playing = playing.toBool();
        return record;
    }
    return refuse(error, QStringLiteral("no source named"));
}

SourceRecordFile::SourceRecordFile(QString path) : path_(std::move(path)) { }

QString SourceRecordFile::defaultPath()
{
    const QString unitDirectory = qEnvironmentVariable("RUNTIME_DIRECTORY");
    if (!unitDirectory.isEmpty())
        return QDir(unitDirectory).filePath(kFileName);
    const QString runtimeDirectory = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtimeDirectory.isEmpty())
        return QDir(runtimeDirectory).filePath(kServiceDirectory + QLatin1Char('/') + kFileName);
    return {};
}

bool SourceRecordFile::write(const SourceRecord& record) const
{
    if (path_.isEmpty() || !QDir().mkpath(QFileInfo(path_).path()))
        return false;
    // Written aside and renamed over, so a crash mid-write leaves the last whole record.
    QSaveFile file(path_);
    return file.open(QIODevice::WriteOnly) && file.write(record.toJson()) >= 0 && file.commit();
}

std::optional<SourceRecord> SourceRecordFile::read(QString* error) const
{
    if (error)
        error->clear();
    if (path_.isEmpty())
        return std::nullopt;
    // Never blocks (a FIFO would hold the service before it serves anything,
    // with its termination signals pending) and never follows a link.
    const int fd = ::open(QFile::encodeName(path_).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return std::nullopt;
    if (fd < 0)
        return refuse(
            error, errno == ELOOP ? QStringLiteral("a symbolic link") : QString::fromLocal8Bit(std::strerror(errno)));
    // The file owns the descriptor from here on and closes it.
    QFile file;
    const bool owned = file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    if (!owned)
        ::close(fd);
    struct stat status { };
    if (!owned || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        return refuse(error, QStringLiteral("not a regular file"));
    const QByteArray text = file.read(kMaxRecordBytes + 1);
    if (text.size() > kMaxRecordBytes)
        return refuse(error, QStringLiteral("larger than %1 bytes").arg(kMaxRecordBytes));
    return SourceRecord::fromJson(text, error);
}

void SourceRecordFile::remove() const
{
    // A directory in the record's place goes too when it is empty.
    if (!path_.isEmpty() && !QFile::remove(path_))
        QDir().rmdir(path_);
}
