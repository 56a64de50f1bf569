// SPDX-License-Identifier: GPL-3.0-or-later
#include "SessionBusWatch.h"

#include <QDBusConnection>

namespace {
const QString kLocalPath = QStringLiteral("/org/freedesktop/DBus/Local");
const QString kLocalInterface = QStringLiteral("org.freedesktop.DBus.Local");
const QString kDisconnected = QStringLiteral("Disconnected");
}  // namespace

SessionBusWatch::SessionBusWatch(QObject* parent) : QObject(parent)
{
    QDBusConnection::sessionBus().connect(
        QString(), kLocalPath, kLocalInterface, kDisconnected, this, SLOT(onDisconnected()));
}

void SessionBusWatch::onDisconnected()
{
    emit lost();
}
