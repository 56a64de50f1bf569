// SPDX-License-Identifier: GPL-3.0-or-later
#include "ServiceProcess.h"

#include "TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <string>
#include <vector>

namespace quelmor::test {

namespace {

// The arguments of `reply` when it is a reply of `count` arguments, else none.
QVariantList argumentsOf(const QDBusMessage& reply, int count)
{
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == count ? reply.arguments()
                                                                                           : QVariantList();
}

}  // namespace

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
    return answers();
}

bool ServiceProcess::stop()
{
    if (!started())
        return false;
    tell(QStringLiteral("stop"));
    return waitForExit();
}

StretchAnswer ServiceProcess::autoStretch()
{
    const QVariantList values = argumentsOf(call(QStringLiteral("autoStretch")), 4);
    if (values.isEmpty())
        return {};
    return {true, values[0].toBool(), values[1].toDouble(), values[2].toDouble(), values[3].toDouble()};
}

FocusAnswer ServiceProcess::focusMetrics()
{
    const QVariantList values = argumentsOf(call(QStringLiteral("focusMetrics")), 5);
    if (values.isEmpty())
        return {};
    return {true, values[0].toBool(), values[1].toDouble(), values[2].toDouble(), values[3].toDouble(),
        values[4].toDouble()};
}

::testing::AssertionResult ServiceProcess::answersEveryQuery()
{
    const struct {
        const char* method;
        QVariantList arguments;
        QVariant answer;
    } queries[] = {{"serCurrentFrame", {}, -1}, {"serTotalFrames", {}, 0}, {"serWidth", {}, 0}, {"serHeight", {}, 0},
        {"serIsPlaying", {}, false}, {"seekSer", {0}, false}, {"serLastError", {}, QString()}};
    for (const auto& query : queries) {
        const QVariantList answer = argumentsOf(call(QString::fromLatin1(query.method), query.arguments), 1);
        if (answer.isEmpty() || answer[0] != query.answer)
            return ::testing::AssertionFailure()
                << query.method << " answers " << (answer.isEmpty() ? "nothing" : answer[0].toString().toStdString());
    }
    if (!autoStretch().replied || !focusMetrics().replied)
        return ::testing::AssertionFailure() << "autoStretch or focusMetrics gives no answer";
    return ::testing::AssertionSuccess();
}

}  // namespace quelmor::test
