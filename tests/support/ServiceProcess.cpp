// SPDX-License-Identifier: GPL-3.0-or-later
#include "ServiceProcess.h"

#include "EventLoopWait.h"
#include "TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <signal.h>

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
    if (!waitFor([] { return !nameIsOwned(); }, kEventWaitMs))
        return false;
    // env runs the service in its own place, with the same process ID.
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

QDBusMessage ServiceProcess::call(const QString& method, const QVariantList& arguments)
{
    return bus_->callWithArgumentList(QDBus::Block, method, arguments);
}

void ServiceProcess::tell(const QString& method, const QVariantList& arguments)
{
    bus_->callWithArgumentList(QDBus::NoBlock, method, arguments);
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

bool ServiceProcess::signal(int number)
{
    return process_ && ::kill(process_->pid(), number) == 0;
}

bool ServiceProcess::kill()
{
    return signal(SIGKILL) && waitForExit();
}

bool ServiceProcess::waitForExit()
{
    return process_ && process_->waitForExit(kEventWaitMs);
}

}  // namespace quelmor::test
