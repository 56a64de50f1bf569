// SPDX-License-Identifier: GPL-3.0-or-later
#include "ServiceProcess.h"

#include "TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <string>
#include <vector>

namespace quelmor::test {

bool ServiceProcess::nameIsOwned()
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(kStreamerService).value();
}

bool ServiceProcess::start()
{
    bus_.reset();
    // A service ended by the test before may still hold the name for a moment.
    if (!QDBusConnection::sessionBus().isConnected() || !waitFor([] { return !nameIsOwned(); }, kEventWaitMs))
        return false;
    // env sets the runtime directory, then becomes the service: its process ID is the service's.
    std::vector<std::string> arguments{"env"};
    if (!runtimeDir_.isEmpty())
        arguments.push_back("XDG_RUNTIME_DIR=" + runtimeDir_.toStdString());
    arguments.push_back(STREAMER_EXECUTABLE);
    ChildOptions childOptions;
    childOptions.error_path = errorPath_.toStdString();
    childOptions.forward_output = true;
    process_ = std::make_unique<ChildProcess>(arguments, childOptions);
    if (!process_->isStarted() || !waitFor(nameIsOwned, kEventWaitMs))
        return false;
    bus_ = std::make_unique<QDBusInterface>(
        kStreamerService, kStreamerPath, kStreamerService, QDBusConnection::sessionBus());
    return bus_->isValid();
}

bool ServiceProcess::send(const QString& method, const QVariantList& arguments)
{
    tell(method, arguments);
    return call(QStringLiteral("serCurrentFrame")).type() == QDBusMessage::ReplyMessage;
}

bool ServiceProcess::stop()
{
    if (!started())
        return false;
    tell(QStringLiteral("stop"));
    return waitForExit();
}

}  // namespace quelmor::test
