// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ServiceProcess.h"

#include <QFile>
#include <QString>

namespace bustest {

inline const QString& kService = quelmor::test::kStreamerService;
inline const QString& kPath = quelmor::test::kStreamerPath;
inline const QString& kInterface = quelmor::test::kStreamerService;

inline QString interfaceFileText()
{
    QFile file(QStringLiteral(STREAMER_INTERFACE_XML));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

}  // namespace bustest
