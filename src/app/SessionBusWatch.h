// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

// Tells when this process's connection to the session bus is gone: libdbus
// then sends the connection a local "Disconnected" signal. Nothing can reach
// the service after that.
//
// Thread: main (Qt event loop).
class SessionBusWatch : public QObject {
    Q_OBJECT

public:
    explicit SessionBusWatch(QObject* parent = nullptr);

signals:
    void lost();

private slots:
    void onDisconnected();

private:
    Q_DISABLE_COPY_MOVE(SessionBusWatch)
};
