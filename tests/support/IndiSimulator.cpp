// SPDX-License-Identifier: GPL-3.0-or-later
#include "IndiSimulator.h"

#include "EventLoopWait.h"
#include "PortHolder.h"

#include <QFile>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace quelmor::test {

namespace {

constexpr int kToolTimeoutMs = 10000;
// How long indi_getprop waits for a property the server does not define.
constexpr char kGetPropWaitSeconds[] = "1";

QString cameraProperty(const QString& element)
{
    return QString::fromLatin1(IndiSimulator::kDevice) + '.' + element;
}

std::vector<std::string> toStd(const QStringList& arguments)
{
    std::vector<std::string> converted;
    for (const QString& argument : arguments)
        converted.push_back(argument.toStdString());
    return converted;
}

}  // namespace

IndiSimulator::IndiSimulator(int port, LocalSocket localSocket)
    : port_(port == kFreePort ? PortHolder().port() : port), localSocket_(localSocket)
{
}

bool IndiSimulator::start()
{
    return startServer({}, QStringLiteral("indi_simulator_ccd")) &&
        waitUntil([this] { return propertyExists(QStringLiteral("CONNECTION.CONNECT")); });
}

bool IndiSimulator::startPictureDriver(const QString& device)
{
    const QString control = home_.filePath(QStringLiteral("control"));
    const QByteArray controlPath = QFile::encodeName(control);
    if (::mkfifo(controlPath.constData(), 0600) != 0)
        return false;
    // Read-write, so that opening never waits for the driver and lines wait in the pipe across restarts.
    pictureDriverControl_.reset(::open(controlPath.constData(), O_RDWR | O_CLOEXEC));
    const QStringList environment{
        QStringLiteral("PICTURE_DRIVER_DEVICE=") + device, QStringLiteral("PICTURE_DRIVER_CONTROL=") + control};
    return pictureDriverControl_.isValid() && startServer(environment, QStringLiteral(PICTURE_DRIVER));
}

bool IndiSimulator::startServer(const QStringList& environment, const QString& driver)
{
    if (!home_.isValid() || port_ <= 0)
        return false;
    QStringList arguments{QStringLiteral("env"), QStringLiteral("HOME=") + home_.path()};
    arguments << environment << QStringLiteral("indiserver") << QStringLiteral("-p") << QString::number(port_);
    if (localSocket_ == LocalSocket::Own)
        arguments << QStringLiteral("-u") << home_.filePath(QStringLiteral("local-socket"));
    arguments << driver;
    ChildOptions options;
    options.own_process_group = true;
    options.error_path = logPath().toStdString();
    server_ = std::make_unique<ChildProcess>(toStd(arguments), options);
    return server_->isStarted() && waitUntil([this] { return portOpen(port_) || server_->hasExited(); }) &&
        !server_->hasExited();
}

bool IndiSimulator::tellPictureDriver(const QString& command)
{
    const QByteArray line = command.toLocal8Bit() + '\n';
    return ::write(pictureDriverControl_.get(), line.constData(), line.size()) == line.size();
}

bool IndiSimulator::killDriver()
{
    const pid_t driver = driverPid();
    if (driver <= 0 || ::kill(driver, SIGKILL) != 0)
        return false;
    return waitUntil([this, driver] { return driverPid() > 0 && driverPid() != driver; }) &&
        waitUntil([this] { return propertyExists(QStringLiteral("CONNECTION.CONNECT")); });
}

pid_t IndiSimulator::driverPid() const
{
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(server_ ? server_->pid() : 0));
    if (!children.open(QIODevice::ReadOnly))
        return 0;
    return static_cast<pid_t>(children.readAll().split(' ').first().toInt());
}

bool IndiSimulator::connectCamera()
{
    return set({QStringLiteral("CONNECTION.CONNECT=On")}) &&
        waitUntil([this] { return propertyExists(QStringLiteral("CCD_VIDEO_STREAM.STREAM_ON")); });
}

bool IndiSimulator::disconnectCamera()
{
    return set({QStringLiteral("CONNECTION.DISCONNECT=On")}) &&
        waitUntil([this] { return !propertyExists(QStringLiteral("CCD_VIDEO_STREAM.STREAM_ON")); });
}

bool IndiSimulator::addContent()
{
    return set({QStringLiteral("SIMULATOR_SETTINGS.SIM_NOISE=4000"), QStringLiteral("CCD_OFFSET.OFFSET=5000")});
}

bool IndiSimulator::streamWithContent(const QString& encoder)
{
    return addContent() && set({QStringLiteral("CCD_STREAM_ENCODER.%1=On").arg(encoder)}) &&
        // Off first: after a reconnection the driver reports the stream on without sending.
        set({QStringLiteral("CCD_VIDEO_STREAM.STREAM_OFF=On")}) &&
        set({QStringLiteral("CCD_VIDEO_STREAM.STREAM_ON=On")});
}

bool IndiSimulator::stopStreaming()
{
    return set({QStringLiteral("CCD_VIDEO_STREAM.STREAM_OFF=On")});
}

bool IndiSimulator::set(const QStringList& assignments)
{
    QStringList arguments{QStringLiteral("indi_setprop"), QStringLiteral("-p"), QString::number(port_)};
    for (const QString& assignment : assignments)
        arguments.append(cameraProperty(assignment));
    return runTool(arguments);
}

QString IndiSimulator::property(const QString& element)
{
    const QString name = cameraProperty(element);
    const QString outputPath = home_.filePath(QStringLiteral("indi_getprop.out"));
    if (!runTool({QStringLiteral("indi_getprop"), QStringLiteral("-p"), QString::number(port_), QStringLiteral("-t"),
                     QString::fromLatin1(kGetPropWaitSeconds), name},
            outputPath))
        return QString();
    QFile output(outputPath);
    if (!output.open(QIODevice::ReadOnly))
        return QString();
    const QString prefix = name + '=';
    const QString line = QString::fromUtf8(output.readAll()).trimmed();
    return line.startsWith(prefix) ? line.mid(prefix.size()) : QString();
}

bool IndiSimulator::waitForProperty(const QString& element, const QString& value, int timeoutMs)
{
    QString current;
    waitUntil(
        [&] {
            current = property(element);
            return current == value || !server_ || server_->hasExited();
        },
        timeoutMs);
    return current == value;
}

QString IndiSimulator::log() const
{
    QFile file(logPath());
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

void IndiSimulator::kill()
{
    pictureDriverControl_.reset();
    if (!server_)
        return;
    server_.reset();
    waitUntil([this] { return !portOpen(port_); });
}

bool IndiSimulator::runTool(const QStringList& arguments, const QString& outputPath)
{
    ChildOptions options;
    options.output_path = outputPath.toStdString();
    ChildProcess tool(toStd(arguments), options);
    return tool.waitForExit(kToolTimeoutMs) && tool.exitCode() == 0;
}

}  // namespace quelmor::test
