// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ChildProcess.h"
#include "EventLoopWait.h"

#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QString>
#include <QVariantList>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>

#include <memory>

namespace quelmor::test {

// The service's bus name, which also names its interface, and its object.
inline const QString kStreamerService = QStringLiteral("com.tavrinholm.dorvenquill.Streamer");
inline const QString kStreamerPath = QStringLiteral("/Streamer");

// What autoStretch and focusMetrics answer; `replied` is false when no reply
// with their arguments came.
struct StretchAnswer {
    bool replied = false;
    bool success = false;
    double shadows = 0, midtones = 0, highlights = 0;
};

struct FocusAnswer {
    bool replied = false;
    bool available = false;
    double sharpness = 0, min = 0, max = 0, median = 0;
};

// The service executable of this build, run by a test on the test's session
// bus and driven there; it can be started again once it has ended. A process
// still running when the object goes is killed. Thread: the test's.
class ServiceProcess {
public:
    // With `runtimeDir` as its XDG_RUNTIME_DIR the service keeps the record of
    // its source there; `errorPath` takes its standard error, else the test's own.
    explicit ServiceProcess(const QString& runtimeDir = {}, const QString& errorPath = {})
        : runtimeDir_(runtimeDir), errorPath_(errorPath)
    {
    }

    // Waits until no other process owns the bus name, starts the service and
    // waits until it owns the name; false without a session bus, or when either wait times out.
    bool start();
    // start() has seen the service on the bus.
    bool started() const { return bus_ != nullptr; }
    QDBusInterface& bus() { return *bus_; }

    QDBusMessage call(const QString& method, const QVariantList& arguments = {})
    {
        return bus_->callWithArgumentList(QDBus::Block, method, arguments);
    }
    // The answer to `method`; a failure of the test when there is none.
    template <typename T>
    T answer(const QString& method, const QVariantList& arguments = {})
    {
        const QDBusReply<T> reply = call(method, arguments);
        EXPECT_TRUE(reply.isValid()) << method.toStdString() << ": " << reply.error().message().toStdString();
        return reply.value();
    }
    // Calls a method that has no reply.
    void tell(const QString& method, const QVariantList& arguments = {})
    {
        bus_->callWithArgumentList(QDBus::NoBlock, method, arguments);
    }
    // Whether the service answers a query now.
    bool answers() { return call(QStringLiteral("serCurrentFrame")).type() == QDBusMessage::ReplyMessage; }
    // tell(), then a query: the service has handled the method once the query
    // answers, which is what this returns.
    bool send(const QString& method, const QVariantList& arguments = {});

    StretchAnswer autoStretch();
    FocusAnswer focusMetrics();
    // Every query answers, the SER ones as with no file open (the first that
    // does not is named); autoStretch applies the stretch it computes.
    ::testing::AssertionResult answersEveryQuery();

    // Tells the service to stop and waits for its end.
    bool stop();
    bool signal(int number) { return process_ && ::kill(process_->pid(), number) == 0; }
    // Kills it, as a crash would, and waits for its end.
    bool kill() { return signal(SIGKILL) && waitForExit(); }
    bool waitForExit() { return process_ && process_->waitForExit(kEventWaitMs); }
    bool isRunning() { return process_ && !process_->hasExited(); }
    // 0 after a clean end; -1 after a signal, as after a crash.
    int exitCode() const { return process_ ? process_->exitCode() : -1; }
    pid_t pid() const { return process_ ? process_->pid() : -1; }

    // Whether some process owns the service's bus name.
    static bool nameIsOwned();

private:
    QString runtimeDir_;
    QString errorPath_;
    std::unique_ptr<ChildProcess> process_;
    std::unique_ptr<QDBusInterface> bus_;
};

}  // namespace quelmor::test
