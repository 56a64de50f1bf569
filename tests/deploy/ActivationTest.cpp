// SPDX-License-Identifier: GPL-3.0-or-later
// D-Bus activation of the installed service: a private bus daemon that knows
// only the installed activation file starts the service on the first call to
// its name. This process is a child subreaper, so the started service becomes
// its child once the daemon lets go of it, and its exit status can be read.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "PortHolder.h"
#include "SerFileWriter.h"
#include "TestSupport.h"

namespace {

const QString kService = QStringLiteral("com.tavrinholm.dorvenquill.Streamer");
const QString kPath = QStringLiteral("/Streamer");
const QString kPrefix = QStringLiteral(DEPLOY_PREFIX);
constexpr int kWaitMs = 20000;
// Starting a process on the first call may take a while on a loaded machine.
constexpr int kActivationCallTimeoutMs = 60000;
constexpr int kExitAfterBusLossMs = 1000;

QString busConfiguration(const QString& socketDir, const QString& serviceDir)
{
    return QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <servicedir>%2</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)")
        .arg(socketDir, serviceDir);
}

// Starts a bus daemon in the foreground and answers its address; the QProcess
// kills it when the test ends.
QString startBus(QProcess& daemon, const QString& configPath)
{
    daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    daemon.start(QStringLiteral(DBUS_DAEMON_EXECUTABLE),
        {QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"), QStringLiteral("--print-address")});
    QDeadlineTimer deadline(kWaitMs);
    while (!daemon.canReadLine() && daemon.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) { }
    return QString::fromUtf8(daemon.readLine()).trimmed();
}

pid_t parentOf(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The command name in parentheses may hold spaces; the parent follows the state after it.
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 1 ? fields.at(1).toInt() : -1;
}

// The started service: killed if the test leaves it running, and reaped once
// it has become this process's child.
class StartedService {
public:
    explicit StartedService(pid_t pid) : pid_(pid) { }
    ~StartedService()
    {
        if (status_ == -1) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, WNOHANG);
        }
    }

    pid_t pid() const { return pid_; }
    // The exit status, or -1 when the service has not ended in time.
    int waitForExitStatus()
    {
        quelmor::test::waitFor([this] { return waitpid(pid_, &status_, WNOHANG) == pid_; }, kWaitMs);
        return status_;
    }

private:
    pid_t pid_;
    int status_ = -1;
};

// A private bus daemon that knows only the installed activation file, and a
// connection to it.
class Activation : public ::testing::Test {
protected:
    // Orphans below this process, the activated service among them, are reparented here.
    static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

    void SetUp() override
    {
        ASSERT_TRUE(QFileInfo(serviceDir + QStringLiteral("/") + kService + QStringLiteral(".service")).isFile())
            << "no installed activation file in " << serviceDir.toStdString();
        ASSERT_TRUE(dir.isValid());
        QFile config(dir.filePath(QStringLiteral("bus.conf")));
        ASSERT_TRUE(config.open(QIODevice::WriteOnly));
        config.write(busConfiguration(dir.path(), serviceDir).toUtf8());
        config.close();
        const QString address = startBus(daemon, config.fileName());
        ASSERT_FALSE(address.isEmpty()) << "dbus-daemon printed no address";
        bus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, kConnectionName));
        ASSERT_TRUE(bus->isConnected()) << bus->lastError().message().toStdString();
    }
    void TearDown() override
    {
        bus.reset();
        QDBusConnection::disconnectFromBus(kConnectionName);
    }

    QDBusMessage call(const QString& method, const QVariantList& arguments = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kService, method);
        message.setArguments(arguments);
        return bus->call(message, QDBus::Block, kActivationCallTimeoutMs);
    }

    // Activates the service with a first call and answers its pid once it is
    // this process's child.
    pid_t activate()
    {
        const QDBusReply<int> totalFrames = call(QStringLiteral("serTotalFrames"));
        EXPECT_TRUE(totalFrames.isValid()) << totalFrames.error().message().toStdString();
        EXPECT_EQ(totalFrames.value(), 0);
        const auto pid = static_cast<pid_t>(bus->interface()->servicePid(kService).value());
        EXPECT_EQ(
            QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget().toStdString(), executable.toStdString())
            << "the name is owned by another program than the installed one";
        EXPECT_TRUE(quelmor::test::waitFor([&] { return parentOf(pid) == getpid(); }, kWaitMs))
            << "the started service never became this process's child";
        return pid;
    }

    const QString kConnectionName = QStringLiteral("activation");
    const QString serviceDir = kPrefix + QStringLiteral("/share/dbus-1/services");
    const QString executable = kPrefix + QStringLiteral("/bin/dorvenquill-streamer");
    QTemporaryDir dir;
    QProcess daemon;
    std::unique_ptr<QDBusConnection> bus;
};

TEST_F(Activation, CallToTheNameStartsTheInstalledServiceAndStopEndsItWithStatusZero)
{
    EXPECT_FALSE(bus->interface()->isServiceRegistered(kService).value()) << "the name is owned before any call";
    EXPECT_TRUE(bus->interface()->activatableServiceNames().value().contains(kService));
    StartedService service(activate());
    ASSERT_FALSE(HasFailure());

    bus->send(QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("stop")));
    const int status = service.waitForExitStatus();
    ASSERT_NE(status, -1) << "the service did not end after stop";
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The bus daemon dies while a SER file plays: the service frees port 8080 and
// ends with a failure status, which the user unit restarts.
TEST_F(Activation, LosingTheBusEndsTheServiceWithAFailureAndFreesItsPort)
{
    StartedService service(activate());
    ASSERT_FALSE(HasFailure());
    const QDBusReply<bool> opened = call(QStringLiteral("openSer"), {sertest::writeTinySerFile(dir)});
    ASSERT_TRUE(opened.isValid() && opened.value());
    ASSERT_TRUE(quelmor::test::portOpen(quelmor::test::kHttpPort));

    QElapsedTimer sinceLoss;
    sinceLoss.start();
    daemon.kill();
    const int status = service.waitForExitStatus();
    EXPECT_LT(sinceLoss.elapsed(), kExitAfterBusLossMs);
    ASSERT_NE(status, -1) << "the service outlived its bus";
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_NE(WEXITSTATUS(status), 0);
    EXPECT_TRUE(quelmor::test::portBindable(quelmor::test::kHttpPort));
}

}  // namespace
