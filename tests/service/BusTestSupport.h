// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ServiceProcess.h"

#include <QFile>
#include <QSet>
#include <QString>
#include <QStringList>

namespace bustest {

inline const QString& kService = quelmor::test::kStreamerService;
inline const QString& kPath = quelmor::test::kStreamerPath;
inline const QString& kInterface = quelmor::test::kStreamerService;

// What a file holds, empty when it cannot be read.
inline QString fileText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

inline QString interfaceFileText()
{
    return fileText(QStringLiteral(STREAMER_INTERFACE_XML));
}

// The interface's methods in the order of its file, and those without a reply.
inline const QStringList kMethods = {"start", "stop", "openSer", "playSer", "pauseSer", "stopSer", "seekSer",
    "setSerSpeed", "serCurrentFrame", "serTotalFrames", "serWidth", "serHeight", "serIsPlaying", "serLastError",
    "setStretchParams", "autoStretch", "focusMetrics"};
inline const QSet<QString> kNoReplyMethods = {
    "start", "stop", "playSer", "pauseSer", "stopSer", "setSerSpeed", "setStretchParams"};

}  // namespace bustest
