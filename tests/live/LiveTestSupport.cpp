#include "LiveTestSupport.h"

#include "live/FrameDecoding.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <basedevice.h>
#include <indipropertyblob.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

extern char** environ;

namespace livetest {

namespace {

constexpr int kToolTimeoutMs = 10000;
constexpr int kRetryPauseMs = 50;
constexpr const char* kDevice = "CCD Simulator";
constexpr const char* kPictureProperty = "CCD1";

const std::string kStreamHeader =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: multipart/x-mixed-replace; boundary=quelmormjpegstreamer\r\n"
    "Pragma: no-cache\r\n"
    "Cache-Control: no-cache, no-store, must-revalidate, pre-check=0, post-check=0, max-age=0\r\n"
    "Connection: close\r\n"
    "\r\n";
const std::string kStatusOk = "HTTP/1.1 200";

sockaddr_in ipv4Address(std::uint32_t host, int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(host);
    return address;
}

QString cameraProperty(const QString& assignment)
{
    return QStringLiteral("%1.%2").arg(kCamera, assignment);
}

}  // namespace

bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    return true;
}

bool portOpen(int port)
{
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = ipv4Address(INADDR_LOOPBACK, port);
    const bool connected = ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(socket);
    return connected;
}

namespace {

// Binds and listens on 0.0.0.0:port as the server does (SO_REUSEADDR, so
// connections lingering in TIME_WAIT do not count); false if that fails.
bool listenOn(int socket, int port)
{
    const int enable = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable);
    const sockaddr_in address = ipv4Address(INADDR_ANY, port);
    return ::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && ::listen(socket, 1) == 0;
}

}  // namespace

bool portBindable(int port)
{
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool bound = listenOn(socket, port);
    ::close(socket);
    return bound;
}

SpawnedProcess::SpawnedProcess(const QStringList& arguments)
{
    std::vector<QByteArray> storage;
    for (const QString& argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    if (posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), environ) != 0)
        pid_ = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
}

SpawnedProcess::~SpawnedProcess()
{
    killGroup();
}

bool SpawnedProcess::reap(bool wait)
{
    if (exited_ || pid_ <= 0)
        return exited_;
    int status = 0;
    if (::waitpid(pid_, &status, wait ? 0 : WNOHANG) == pid_) {
        exited_ = true;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return exited_;
}

int SpawnedProcess::waitForExitCode(int timeoutMs)
{
    return waitUntil([this] { return reap(false); }, timeoutMs) ? exitCode_ : -1;
}

void SpawnedProcess::killGroup()
{
    if (pid_ <= 0 || reap(false))
        return;
    ::kill(-pid_, SIGKILL);
    reap(true);
}

bool IndiSimulator::start()
{
    server_ = std::make_unique<SpawnedProcess>(
        QStringList{QStringLiteral("env"), QStringLiteral("HOME=") + home_.path(), QStringLiteral("indiserver"),
            QStringLiteral("-p"), QString::number(kIndiPort), QStringLiteral("indi_simulator_ccd")});
    if (!server_->isStarted())
        return false;
    return waitUntil([] { return portOpen(kIndiPort); }) &&
        waitUntil([this] { return propertyExists(cameraProperty(QStringLiteral("CONNECTION.CONNECT"))); });
}

bool IndiSimulator::startPictureDriver(const QString& device)
{
    const QByteArray control = home_.filePath(QStringLiteral("control")).toLocal8Bit();
    if (::mkfifo(control.constData(), 0600) != 0)
        return false;
    // Read-write, so that opening never waits for the driver and lines wait in the pipe across restarts.
    pictureDriverControl_ = ::open(control.constData(), O_RDWR | O_CLOEXEC);
    server_ = std::make_unique<SpawnedProcess>(QStringList{QStringLiteral("env"), QStringLiteral("HOME=") + home_.path(),
        QStringLiteral("PICTURE_DRIVER_DEVICE=") + device, QStringLiteral("PICTURE_DRIVER_CONTROL=") + control,
        QStringLiteral("indiserver"), QStringLiteral("-p"), QString::number(kIndiPort), QStringLiteral(PICTURE_DRIVER)});
    return pictureDriverControl_ >= 0 && server_->isStarted() && waitUntil([] { return portOpen(kIndiPort); });
}

bool IndiSimulator::tellPictureDriver(const QString& command)
{
    const QByteArray line = command.toLocal8Bit() + '\n';
    return ::write(pictureDriverControl_, line.constData(), line.size()) == line.size();
}

bool IndiSimulator::killDriver()
{
    const pid_t driver = driverPid();
    if (driver <= 0 || ::kill(driver, SIGKILL) != 0)
        return false;
    return waitUntil([this, driver] { return driverPid() > 0 && driverPid() != driver; }) &&
        waitUntil([this] { return propertyExists(cameraProperty(QStringLiteral("CONNECTION.CONNECT"))); });
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
        waitUntil([this] { return propertyExists(cameraProperty(QStringLiteral("CCD_VIDEO_STREAM.STREAM_ON"))); });
}

bool IndiSimulator::disconnectCamera()
{
    return set({QStringLiteral("CONNECTION.DISCONNECT=On")}) &&
        waitUntil([this] { return !propertyExists(cameraProperty(QStringLiteral("CCD_VIDEO_STREAM.STREAM_ON"))); });
}

bool IndiSimulator::streamWithContent()
{
    return set({QStringLiteral("SIMULATOR_SETTINGS.SIM_NOISE=4000"), QStringLiteral("CCD_OFFSET.OFFSET=5000")}) &&
        set({QStringLiteral("CCD_STREAM_ENCODER.MJPEG=On")}) &&
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
    QStringList arguments;
    for (const QString& assignment : assignments)
        arguments.append(cameraProperty(assignment));
    arguments.prepend(QStringLiteral("indi_setprop"));
    return SpawnedProcess(arguments).waitForExitCode(kToolTimeoutMs) == 0;
}

void IndiSimulator::kill()
{
    if (pictureDriverControl_ >= 0)
        ::close(std::exchange(pictureDriverControl_, -1));
    if (!server_)
        return;
    server_.reset();
    waitUntil([] { return !portOpen(kIndiPort); });
}

bool IndiSimulator::propertyExists(const QString& property)
{
    // indi_getprop answers 0 only when the property exists.
    return SpawnedProcess({QStringLiteral("indi_getprop"), QStringLiteral("-t"), QStringLiteral("1"), property})
               .waitForExitCode(kToolTimeoutMs) == 0;
}

BlobRecorder::BlobRecorder()
{
    setServer("127.0.0.1", kIndiPort);
}

BlobRecorder::~BlobRecorder()
{
    {
        std::lock_guard<std::mutex> lock(store_->mutex);
        store_->closing = true;
    }
    if (isServerConnected())
        disconnectServer();
}

bool BlobRecorder::start()
{
    watchDevice(kDevice, [store = store_](INDI::BaseDevice device) {
        device.watchProperty(kPictureProperty, [store](INDI::Property property) {
            auto* blob = static_cast<INDI::PropertyView<IBLOB>*>(property.getProperty());
            property.onUpdate([store, blob] {
                std::lock_guard<std::mutex> lock(store->mutex);
                if (store->closing || blob->count() < 1)
                    return;
                const INDI::WidgetView<IBLOB>& element = *blob->at(0);
                store->newest.assign(static_cast<const char*>(element.getBlob()), element.getBlobLen());
                ++store->count;
                const long long now = quelmor::test::nowMs();
                if (store->count > 1)
                    store->longestGapMs = std::max(store->longestGapMs, now - store->lastArrivalMs);
                store->lastArrivalMs = now;
                store->arrivalByHash.emplace(std::hash<std::string>()(store->newest), store->count);
            });
        });
    });
    if (!connectServer())
        return false;
    setBLOBMode(B_ONLY, kDevice, kPictureProperty);
    return true;
}

std::size_t BlobRecorder::count() const
{
    std::lock_guard<std::mutex> lock(store_->mutex);
    return store_->count;
}

bool BlobRecorder::waitForBlob(const std::string& bytes, int timeoutMs) const
{
    return waitUntil([&] { return arrivalNumber(bytes) != 0; }, timeoutMs);
}

std::size_t BlobRecorder::arrivalNumber(const std::string& bytes) const
{
    const std::size_t hash = std::hash<std::string>()(bytes);
    std::lock_guard<std::mutex> lock(store_->mutex);
    const auto found = store_->arrivalByHash.find(hash);
    return found == store_->arrivalByHash.end() ? 0 : found->second;
}

long long BlobRecorder::longestGapMs() const
{
    std::lock_guard<std::mutex> lock(store_->mutex);
    return store_->longestGapMs;
}

std::string BlobRecorder::newest() const
{
    std::lock_guard<std::mutex> lock(store_->mutex);
    return store_->newest;
}

PortHolder::PortHolder(int port)
{
    socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    holds_ = listenOn(socket_, port);
}

PortHolder::~PortHolder()
{
    ::close(socket_);
}

std::unique_ptr<quelmor::test::LoopbackClient> openStream(const std::string& path, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        auto client = std::make_unique<quelmor::test::LoopbackClient>(kHttpPort);
        if (client->isConnected() && client->send("GET " + path + " HTTP/1.1\r\n\r\n") &&
            client->read(kStatusOk.size(), kToolTimeoutMs) == kStatusOk) {
            if (client->read(kStreamHeader.size() - kStatusOk.size(), kToolTimeoutMs) ==
                kStreamHeader.substr(kStatusOk.size()))
                return client;
            return nullptr;
        }
        QThread::msleep(kRetryPauseMs);
    }
    return nullptr;
}

JpegInfo inspectJpeg(const std::string& bytes)
{
    JpegInfo info;
    QByteArray pixels;
    info.decoded = decodeJpeg(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), pixels, info.width,
        info.height, info.channels);
    if (info.decoded && !pixels.isEmpty()) {
        double sum = 0.0;
        for (const char sample : pixels)
            sum += static_cast<unsigned char>(sample);
        info.mean = sum / pixels.size();
    }
    return info;
}

QString writeTinySerFile(const QTemporaryDir& directory)
{
    constexpr qint32 kWidth = 16;
    constexpr qint32 kHeight = 8;
    constexpr qint32 kFrames = 3;
    constexpr int kTextFieldBytes = 40;
    const QString path = directory.filePath(QStringLiteral("tiny.ser"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("LUCAM-RECORDER", 14);
    // LuID, ColorID (mono), LittleEndian, width, height, bits per plane, frame count.
    for (qint32 value : {0, 0, 0, kWidth, kHeight, 8, kFrames})
        out << value;
    const QByteArray text(kTextFieldBytes * 3, ' ');
    out.writeRawData(text.constData(), text.size());
    out << qint64(0) << qint64(0);
    for (int frame = 0; frame < kFrames; ++frame)
        for (int i = 0; i < kWidth * kHeight; ++i)
            out << static_cast<quint8>((i * 7 + frame * 40) % 256);
    return path;
}

}  // namespace livetest
