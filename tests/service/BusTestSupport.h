#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QString>

#include <functional>

namespace bustest {

inline const QString kService = QStringLiteral("com.tavrinholm.dorvenquill.Streamer");
inline const QString kPath = QStringLiteral("/Streamer");
inline const QString kInterface = QStringLiteral("com.tavrinholm.dorvenquill.Streamer");
constexpr int kWaitMs = 10000;

// Spins the event loop until the condition holds or the time is up.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs = kWaitMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

inline QString interfaceFileText()
{
    QFile file(QStringLiteral(STREAMER_INTERFACE_XML));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

}  // namespace bustest
