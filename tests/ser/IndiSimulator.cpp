#include "IndiSimulator.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QThread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kStartTimeoutMs = 30000;
constexpr int kToolTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 5000;
constexpr int kPollIntervalMs = 100;
// How long indi_getprop waits for a property the server does not define.
constexpr char kGetPropWaitSeconds[] = "1";

// A loopback port nobody listens on right now, chosen by the kernel.
int freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

QString logPath(const QTemporaryDir& home)
{
    return home.filePath(QStringLiteral("indiserver.log"));
}

}  // namespace

IndiSimulator::~IndiSimulator()
{
    if (server.state() == QProcess::NotRunning)
        return;
    server.terminate();
    if (!server.waitForFinished(kStopTimeoutMs)) {
        server.kill();
        server.waitForFinished(kStopTimeoutMs);
    }
}

bool IndiSimulator::start(QString& error)
{
    port_ = freeLoopbackPort();
    if (!home.isValid() || port_ == 0) {
        error = QStringLiteral("no temporary HOME or no free port");
        return false;
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    server.setProcessEnvironment(environment);
    server.setStandardOutputFile(QProcess::nullDevice());
    server.setStandardErrorFile(logPath(home));
    server.start(QStringLiteral("indiserver"),
        {QStringLiteral("-p"), QString::number(port_), QStringLiteral("-u"), home.filePath("local-socket"),
            QStringLiteral("indi_simulator_ccd")});
    if (!server.waitForStarted(kStartTimeoutMs)) {
        error = QStringLiteral("indiserver did not start: ") + server.errorString();
        return false;
    }
    if (!waitForProperty(QStringLiteral("CONNECTION.CONNECT"), QStringLiteral("Off"), kStartTimeoutMs) ||
        !setProperty(QStringLiteral("CONNECTION.CONNECT=On")) ||
        !waitForProperty(QStringLiteral("CONNECTION.CONNECT"), QStringLiteral("On"), kStartTimeoutMs)) {
        error = QStringLiteral("the simulator camera did not connect:\n") + log();
        return false;
    }
    return true;
}

bool IndiSimulator::setProperty(const QString& assignment)
{
    return runTool(QStringLiteral("indi_setprop"),
        {QStringLiteral("-p"), QString::number(port_), QString::fromLatin1(kDevice) + '.' + assignment});
}

QString IndiSimulator::property(const QString& element)
{
    const QString name = QString::fromLatin1(kDevice) + '.' + element;
    QByteArray output;
    if (!runTool(QStringLiteral("indi_getprop"),
            {QStringLiteral("-p"), QString::number(port_), QStringLiteral("-t"),
                QString::fromLatin1(kGetPropWaitSeconds), name},
            &output))
        return QString();
    const QString prefix = name + '=';
    const QString line = QString::fromUtf8(output).trimmed();
    return line.startsWith(prefix) ? line.mid(prefix.size()) : QString();
}

bool IndiSimulator::waitForProperty(const QString& element, const QString& value, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (property(element) != value) {
        if (deadline.hasExpired() || server.state() == QProcess::NotRunning)
            return false;
        QThread::msleep(kPollIntervalMs);
    }
    return true;
}

QString IndiSimulator::log() const
{
    QFile file(logPath(home));
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

bool IndiSimulator::runTool(const QString& program, const QStringList& arguments, QByteArray* output)
{
    QProcess tool;
    tool.setStandardErrorFile(QProcess::nullDevice());
    tool.start(program, arguments);
    if (!tool.waitForFinished(kToolTimeoutMs)) {
        tool.kill();
        tool.waitForFinished(kToolTimeoutMs);
        return false;
    }
    if (output)
        *output = tool.readAllStandardOutput();
    return tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}
