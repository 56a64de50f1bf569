// SPDX-License-Identifier: GPL-3.0-or-later
#include "status/StatusDocument.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace {

// The field names, as clients read them.
const QString kSource = QStringLiteral("source");
const QString kDevice = QStringLiteral("device");
const QString kConnection = QStringLiteral("connection");
const QString kDevices = QStringLiteral("devices");
const QString kPicture = QStringLiteral("picture");
const QString kWidth = QStringLiteral("width");
const QString kHeight = QStringLiteral("height");
const QString kFormat = QStringLiteral("format");
const QString kReceived = QStringLiteral("received");
const QString kAge = QStringLiteral("age");
const QString kFps = QStringLiteral("fps");
const QString kFocus = QStringLiteral("focus");
const QString kAvailable = QStringLiteral("available");
const QString kSharpness = QStringLiteral("sharpness");
const QString kMin = QStringLiteral("min");
const QString kMax = QStringLiteral("max");
const QString kMedian = QStringLiteral("median");
const QString kSer = QStringLiteral("ser");
const QString kFile = QStringLiteral("file");
const QString kFrame = QStringLiteral("frame");
const QString kFrames = QStringLiteral("frames");
const QString kPlaying = QStringLiteral("playing");

QString sourceName(StatusDocument::Source source)
{
    switch (source) {
    case StatusDocument::Source::Live:
        return QStringLiteral("live");
    case StatusDocument::Source::Ser:
        return QStringLiteral("ser");
    case StatusDocument::Source::None:
        break;
    }
    return QStringLiteral("none");
}

// Milliseconds, with the Z of UTC.
QString utcText(std::chrono::system_clock::time_point time)
{
    const auto sinceEpoch = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
    return QDateTime::fromMSecsSinceEpoch(sinceEpoch.count(), Qt::UTC).toString(Qt::ISODateWithMs);
}

QJsonValue pictureObject(const std::optional<StatusDocument::Picture>& picture)
{
    if (!picture)
        return QJsonValue::Null;
    return QJsonObject{
        {kWidth, picture->width},
        {kHeight, picture->height},
        {kFormat, picture->format},
        {kReceived, utcText(picture->received)},
        {kAge, picture->ageSeconds},
        {kFps, picture->fps},
    };
}

QJsonObject focusObject(const StatusDocument::Focus& focus)
{
    return QJsonObject{
        {kAvailable, focus.available},
        {kSharpness, focus.sharpness},
        {kMin, focus.min},
        {kMax, focus.max},
        {kMedian, focus.median},
    };
}

}  // namespace

std::string StatusDocument::toJson() const
{
    QJsonObject document{{kSource, sourceName(source)}};
    if (live) {
        document.insert(kDevice, live->device);
        document.insert(kConnection, live->connection);
        document.insert(kDevices, QJsonArray::fromStringList(live->devices));
    }
    document.insert(kPicture, pictureObject(picture));
    document.insert(kFocus, focusObject(focus));
    if (ser) {
        document.insert(kSer,
            QJsonObject{
                {kFile, ser->file},
                {kFrame, ser->frame},
                {kFrames, ser->frames},
                {kPlaying, ser->playing},
                {kFps, ser->fps},
            });
    }
    return QJsonDocument(document).toJson(QJsonDocument::Compact).toStdString();
}
