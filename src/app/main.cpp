// SPDX-License-Identifier: GPL-3.0-or-later
#include "SessionBusWatch.h"
#include "TerminationSignals.h"
#include "service/SourceRecord.h"
#include "service/Streamer.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QMetaType>

#include <cstdio>

// indiproperty.h declares the meta-type itself when built with Qt.
#include <indiproperty.h>

#include <sys/resource.h>

namespace {
// INDI properties cross from the INDI receiving thread to the main thread as
// queued arguments, so the type is known to Qt before anything runs.
[[maybe_unused]] const int kIndiPropertyMetaType = qRegisterMetaType<INDI::Property>("INDI::Property");

// Every HTTP connection costs a descriptor, a stream client two; the soft
// limit Debian starts services with (1024) is far below the hard one. A
// failure leaves the soft limit as it was, which the server survives.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

constexpr int kExitBusLost = 1;
// The service name could not be claimed: another instance owns it, or there
// is no session bus. Nothing could ever call this instance, so it ends.
constexpr int kExitNameNotOwned = 2;

const QString kServiceName = QStringLiteral("com.tavrinholm.dorvenquill.Streamer");

// Claims the service name on the session bus; returns why it could not, or an
// empty text once this process owns it.
QString claimServiceName()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return bus.lastError().message();
    if (bus.registerService(kServiceName))
        return {};
    const QDBusError error = bus.interface()->lastError();
    if (error.isValid())
        return error.message();
    return QStringLiteral("already owned by ") + bus.interface()->serviceOwner(kServiceName).value();
}

}  // namespace

int main(int argc, char* argv[])
{
    raiseDescriptorLimit();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));
    // Before the bus connection starts its thread.
    TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &TerminationSignals::received, &app, &QCoreApplication::quit);

    // Registered at its path first, so that the first call to the name finds
    // it; no port is open until a call asks for a picture source, or the
    // source of a process that crashed is taken up again.
    Streamer streamer;
    const QString nameError = claimServiceName();
    if (!nameError.isEmpty()) {
        std::fprintf(stderr, "dorvenquill-streamer: cannot own the bus name %s: %s\n", qPrintable(kServiceName),
            qPrintable(nameError));
        return kExitNameNotOwned;
    }
    QObject::connect(&streamer, &Streamer::finished, &app, &QCoreApplication::quit);
    // The streamer, destroyed when main returns, then ends its source and frees the HTTP port.
    SessionBusWatch busWatch;
    QObject::connect(&busWatch, &SessionBusWatch::lost, &app, [] {
        std::fputs("dorvenquill-streamer: lost the connection to the D-Bus session bus\n", stderr);
        QCoreApplication::exit(kExitBusLost);
    });
    streamer.keepRecordIn(SourceRecordFile(SourceRecordFile::defaultPath()));

    return app.exec();
}
