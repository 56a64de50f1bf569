// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFile>
#include <QString>

namespace bustest {

inline const QString kService = QStringLiteral("com.tavrinholm.dorvenquill.Streamer");
inline const QString kPath = QStringLiteral("/Streamer");
inline const QString kInterface = QStringLiteral("com.tavrinholm.dorvenquill.Streamer");

inline QString interfaceFileText()
{
    QFile file(QStringLiteral(STREAMER_INTERFACE_XML));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

}  // namespace bustest
