// SPDX-License-Identifier: GPL-3.0-or-later
// The service as a real process on a private session bus, driven the way a
// controlling program drives it.
#include "BusTestSupport.h"
#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "PortHolder.h"
#include "SerFileWriter.h"

#include "service/SourceRecord.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QStringList>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace bustest;
using quelmor::test::waitUntil;

namespace {

constexpr int kExitWaitMs = 10000;

QDBusConnectionInterface* busDaemon()
{
    return QDBusConnection::sessionBus().interface();
}

bool nameIsOwned()
{
    return busDaemon()->isServiceRegistered(kService).value();
}

// What a file holds, empty when it cannot be read.
QString fileText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// One service process; killed when the test leaves it running. With a
// runtime directory it keeps the record of its source there, and its standard
// error goes to `errorPath` when one is given.
class StreamerProcess {
public:
    explicit StreamerProcess(const QString& runtimeDir = {}, const QString& errorPath = {})
    {
        process_.setProgram(QStringLiteral(STREAMER_EXECUTABLE));
        process_.setProcessChannelMode(
            errorPath.isEmpty() ? QProcess::ForwardedChannels : QProcess::ForwardedOutputChannel);
        if (!errorPath.isEmpty())
            process_.setStandardErrorFile(errorPath);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!runtimeDir.isEmpty())
            environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
        process_.setProcessEnvironment(environment);
        process_.start();
    }
    ~StreamerProcess()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(kExitWaitMs);
        }
    }

    bool waitStarted() { return process_.waitForStarted(kExitWaitMs); }
    qint64 pid() const { return process_.processId(); }
    bool isRunning() const { return process_.state() == QProcess::Running; }
    bool waitFinished()
    {
        return waitUntil([this] { return process_.state() == QProcess::NotRunning; }, kExitWaitMs);
    }
    QProcess::ExitStatus exitStatus() const { return process_.exitStatus(); }
    int exitCode() const { return process_.exitCode(); }

    // The unique bus name of this process's connection, once it has one.
    QString uniqueName() const
    {
        const QStringList names = busDaemon()->registeredServiceNames().value();
        for (const QString& name : names) {
            if (name.startsWith(QLatin1Char(':')) &&
                busDaemon()->servicePid(name).value() == static_cast<uint>(process_.processId()))
                return name;
        }
        return QString();
    }

private:
    QProcess process_;
};

std::unique_ptr<QDBusInterface> streamerAt(const QString& service)
{
    return std::make_unique<QDBusInterface>(service, kPath, kInterface, QDBusConnection::sessionBus());
}

struct IntrospectedMethod {
    QString name;
    QStringList args;  // "direction type name"
    bool noReply = false;
};

struct IntrospectedInterface {
    QList<IntrospectedMethod> methods;
    QStringList signalNames;
    QStringList signalArgs;
};

IntrospectedInterface parseInterface(const QString& xml)
{
    IntrospectedInterface result;
    QXmlStreamReader reader(xml);
    bool inOurInterface = false;
    bool inSignal = false;
    while (!reader.atEnd()) {
        reader.readNext();
        const auto attrs = reader.attributes();
        if (reader.isEndElement() && reader.name() == QLatin1String("interface"))
            inOurInterface = false;
        if (reader.isEndElement() && reader.name() == QLatin1String("signal"))
            inSignal = false;
        if (!reader.isStartElement())
            continue;
        if (reader.name() == QLatin1String("interface")) {
            inOurInterface = attrs.value(QLatin1String("name")) == kInterface;
        } else if (!inOurInterface) {
            continue;
        } else if (reader.name() == QLatin1String("method")) {
            result.methods.append({attrs.value(QLatin1String("name")).toString(), {}, false});
        } else if (reader.name() == QLatin1String("signal")) {
            inSignal = true;
            result.signalNames.append(attrs.value(QLatin1String("name")).toString());
        } else if (reader.name() == QLatin1String("arg")) {
            const QString arg = QStringList{attrs.value(QLatin1String("direction")).toString(),
                attrs.value(QLatin1String("type")).toString(), attrs.value(QLatin1String("name")).toString()}
                                    .join(QLatin1Char(' '))
                                    .trimmed();
            if (inSignal)
                result.signalArgs.append(arg);
            else if (!result.methods.isEmpty())
                result.methods.last().args.append(arg);
        } else if (reader.name() == QLatin1String("annotation") && !result.methods.isEmpty()) {
            if (attrs.value(QLatin1String("name")) == QLatin1String("org.freedesktop.DBus.Method.NoReply") &&
                attrs.value(QLatin1String("value")) == QLatin1String("true"))
                result.methods.last().noReply = true;
        }
    }
    EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString();
    return result;
}

class StreamerBusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "no session bus";
        // A service killed by the previous test may still hold the name for a moment.
        ASSERT_TRUE(waitUntil([] { return !nameIsOwned(); })) << "another service holds the name";
        service_ = std::make_unique<StreamerProcess>();
        ASSERT_TRUE(service_->waitStarted());
        ASSERT_TRUE(waitUntil(nameIsOwned)) << "the service never claimed its name";
        streamer_ = streamerAt(kService);
        ASSERT_TRUE(streamer_->isValid());
    }

    std::unique_ptr<StreamerProcess> service_;
    std::unique_ptr<QDBusInterface> streamer_;
};

// --- Introspection: the interface as a controlling program sees it ---------

TEST_F(StreamerBusTest, IntrospectionListsTheInterfaceAsDescribedInItsFile)
{
    QDBusInterface introspectable(kService, kPath, QStringLiteral("org.freedesktop.DBus.Introspectable"));
    const QDBusReply<QString> xml = introspectable.call(QStringLiteral("Introspect"));
    ASSERT_TRUE(xml.isValid()) << xml.error().message().toStdString();

    // The bus sees the installed description verbatim, so file and adaptor agree.
    const QString fileText = interfaceFileText();
    ASSERT_FALSE(fileText.isEmpty());
    EXPECT_TRUE(xml.value().contains(fileText)) << xml.value().toStdString();

    const IntrospectedInterface iface = parseInterface(xml.value());
    const QStringList expectedOrder = {"start", "stop", "openSer", "playSer", "pauseSer", "stopSer", "seekSer",
        "setSerSpeed", "serCurrentFrame", "serTotalFrames", "serWidth", "serHeight", "serIsPlaying", "serLastError",
        "setStretchParams", "autoStretch", "focusMetrics"};
    QStringList names;
    QSet<QString> noReply;
    for (const IntrospectedMethod& method : iface.methods) {
        names.append(method.name);
        if (method.noReply)
            noReply.insert(method.name);
    }
    EXPECT_EQ(names, expectedOrder);
    EXPECT_EQ(
        noReply, (QSet<QString>{"start", "stop", "playSer", "pauseSer", "stopSer", "setSerSpeed", "setStretchParams"}));

    const auto argsOf = [&iface](const QString& name) {
        for (const IntrospectedMethod& method : iface.methods)
            if (method.name == name)
                return method.args;
        return QStringList();
    };
    EXPECT_EQ(argsOf("start"), QStringList{"in s device"});
    EXPECT_EQ(argsOf("setStretchParams"), (QStringList{"in d shadows", "in d midtones", "in d highlights"}));
    EXPECT_EQ(
        argsOf("autoStretch"), (QStringList{"out b success", "out d shadows", "out d midtones", "out d highlights"}));
    EXPECT_EQ(argsOf("focusMetrics"),
        (QStringList{"out b available", "out d sharpness", "out d min", "out d max", "out d median"}));

    EXPECT_EQ(iface.signalNames, QStringList{"serFrameChanged"});
    EXPECT_EQ(iface.signalArgs, (QStringList{"i frame", "i totalFrames"}));
    // The control object's own signal stays off the bus.
    EXPECT_FALSE(xml.value().contains(QLatin1String("finished")));
}

// --- Answers without a picture source -----------------------------------------

TEST_F(StreamerBusTest, QueriesAnswerTheNoSourceDefaults)
{
    const QDBusReply<int> current = streamer_->call(QStringLiteral("serCurrentFrame"));
    ASSERT_TRUE(current.isValid()) << current.error().message().toStdString();
    EXPECT_EQ(current.value(), -1);
    EXPECT_EQ(QDBusReply<int>(streamer_->call(QStringLiteral("serTotalFrames"))).value(), 0);
    EXPECT_EQ(QDBusReply<int>(streamer_->call(QStringLiteral("serWidth"))).value(), 0);
    EXPECT_EQ(QDBusReply<int>(streamer_->call(QStringLiteral("serHeight"))).value(), 0);

    const QDBusReply<bool> playing = streamer_->call(QStringLiteral("serIsPlaying"));
    ASSERT_TRUE(playing.isValid());
    EXPECT_FALSE(playing.value());

    const QDBusReply<QString> error = streamer_->call(QStringLiteral("serLastError"));
    ASSERT_TRUE(error.isValid());
    EXPECT_EQ(error.value(), QString());

    const QDBusReply<bool> seek = streamer_->call(QStringLiteral("seekSer"), 3);
    ASSERT_TRUE(seek.isValid());
    EXPECT_FALSE(seek.value());

    const QDBusMessage stretch = streamer_->call(QStringLiteral("autoStretch"));
    ASSERT_EQ(stretch.type(), QDBusMessage::ReplyMessage) << stretch.errorMessage().toStdString();
    ASSERT_EQ(stretch.arguments().size(), 4);
    EXPECT_FALSE(stretch.arguments().at(0).toBool());

    const QDBusMessage focus = streamer_->call(QStringLiteral("focusMetrics"));
    ASSERT_EQ(focus.type(), QDBusMessage::ReplyMessage) << focus.errorMessage().toStdString();
    ASSERT_EQ(focus.arguments().size(), 5);
    EXPECT_FALSE(focus.arguments().at(0).toBool());
}

TEST_F(StreamerBusTest, CommandsWithoutASourceChangeNothing)
{
    for (const char* method : {"playSer", "pauseSer", "stopSer"})
        streamer_->call(QDBus::NoBlock, QString::fromLatin1(method));
    streamer_->call(QDBus::NoBlock, QStringLiteral("setSerSpeed"), 30.0);
    streamer_->call(QDBus::NoBlock, QStringLiteral("setStretchParams"), 0.1, 0.3, 0.9);

    // Calls are served in order, so these answers come after every command above.
    EXPECT_EQ(QDBusReply<int>(streamer_->call(QStringLiteral("serCurrentFrame"))).value(), -1);
    EXPECT_FALSE(QDBusReply<bool>(streamer_->call(QStringLiteral("serIsPlaying"))).value());
    const QDBusMessage stretch = streamer_->call(QStringLiteral("autoStretch"));
    ASSERT_EQ(stretch.type(), QDBusMessage::ReplyMessage);
    EXPECT_FALSE(stretch.arguments().at(0).toBool());
    EXPECT_TRUE(service_->isRunning());
}

TEST_F(StreamerBusTest, OpenSerOfAMissingFileAnswersFalse)
{
    const QDBusReply<bool> opened =
        streamer_->call(QStringLiteral("openSer"), QStringLiteral("/nonexistent/capture.ser"));
    ASSERT_TRUE(opened.isValid()) << opened.error().message().toStdString();
    EXPECT_FALSE(opened.value());
    EXPECT_EQ(QDBusReply<int>(streamer_->call(QStringLiteral("serTotalFrames"))).value(), 0);
    EXPECT_TRUE(service_->isRunning());
}

// --- Ending the service --------------------------------------------------------

TEST_F(StreamerBusTest, StopEndsTheProcessAndReleasesTheName)
{
    streamer_->call(QDBus::NoBlock, QStringLiteral("stop"));

    ASSERT_TRUE(service_->waitFinished()) << "the service did not exit after stop";
    EXPECT_EQ(service_->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(service_->exitCode(), 0);
    EXPECT_TRUE(waitUntil([] { return !nameIsOwned(); }));

    const QDBusMessage late = streamer_->call(QStringLiteral("serCurrentFrame"));
    EXPECT_EQ(late.type(), QDBusMessage::ErrorMessage);
    EXPECT_EQ(late.errorName(), QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"));
}

// An instance that cannot own the name, taken or without a bus, says why in
// one line and exits with status 2; the first instance goes on answering.
TEST_F(StreamerBusTest, SecondInstanceExitsWithoutTheName)
{
    const QTemporaryDir dir;
    const QString errorPath = dir.filePath(QStringLiteral("stderr"));
    const std::string noBus = "DBUS_SESSION_BUS_ADDRESS=unix:path=" + errorPath.toStdString() + ".none";
    const std::pair<std::vector<std::string>, QString> rows[] = {
        {{STREAMER_EXECUTABLE}, QStringLiteral("already owned by ") + service_->uniqueName()},
        {{"env", noBus, STREAMER_EXECUTABLE}, QStringLiteral(".none: No such file or directory")}};
    for (const auto& [arguments, reason] : rows) {
        quelmor::test::ChildProcess second(arguments, {{}, false, {}, errorPath.toStdString()});
        ASSERT_TRUE(second.waitForExit(kExitWaitMs));
        EXPECT_EQ(second.exitCode(), 2);
        const QString text = fileText(errorPath);
        EXPECT_TRUE(text.startsWith(QStringLiteral("dorvenquill-streamer: cannot own the bus name ") + kService) &&
            text.endsWith(reason + QLatin1Char('\n')) && text.count(QLatin1Char('\n')) == 1)
            << text.toStdString();
    }
    EXPECT_EQ(QDBusReply<int>(streamer_->call(QStringLiteral("serCurrentFrame"))).value(), -1);
}

// --- The source after a crash ---------------------------------------------------

// A started process that owns the name, and the streamer it serves.
struct RunningStreamer {
    explicit RunningStreamer(const QString& runtimeDir, const QString& errorPath = {}) : process(runtimeDir, errorPath)
    {
        EXPECT_TRUE(waitUntil([] { return !nameIsOwned(); })) << "another service holds the name";
        EXPECT_TRUE(process.waitStarted() && waitUntil(nameIsOwned)) << "the service never claimed its name";
    }
    template <typename T>
    T answer(const QString& method, const QVariant& argument = {})
    {
        const QDBusReply<T> reply = argument.isValid() ? streamer->call(method, argument) : streamer->call(method);
        EXPECT_TRUE(reply.isValid()) << method.toStdString() << ": " << reply.error().message().toStdString();
        return reply.value();
    }
    StreamerProcess process;
    std::unique_ptr<QDBusInterface> streamer = streamerAt(kService);
};

// Only a process that ends without stop or a signal, as in a crash, leaves
// its source for the next one, which shows the same file at the same frame.
TEST(StreamerRecordTest, TheSourceOfACrashedProcessIsTakenUpAgain)
{
    const QTemporaryDir runtime;
    const QString ser = sertest::writeTinySerFile(runtime);
    const QString record = runtime.filePath(QStringLiteral("dorvenquill-streamer/source.json"));
    struct Ending {
        const char* name;
        std::function<void(RunningStreamer&)> end;
        bool resumed;
    };
    const Ending endings[] = {
        {"SIGKILL", [](RunningStreamer& s) { ::kill(s.process.pid(), SIGKILL); }, true},
        {"SIGSEGV", [](RunningStreamer& s) { ::kill(s.process.pid(), SIGSEGV); }, true},
        {"SIGTERM", [](RunningStreamer& s) { ::kill(s.process.pid(), SIGTERM); }, false},
        {"SIGHUP", [](RunningStreamer& s) { ::kill(s.process.pid(), SIGHUP); }, false},
        {"stop", [](RunningStreamer& s) { s.streamer->call(QDBus::NoBlock, QStringLiteral("stop")); }, false},
    };
    for (const Ending& ending : endings) {
        SCOPED_TRACE(ending.name);
        {
            RunningStreamer first(runtime.path());
            ASSERT_TRUE(first.answer<bool>(QStringLiteral("openSer"), ser));
            // Slow enough that the frame does not move before the next process is asked.
            first.streamer->call(QStringLiteral("setSerSpeed"), 0.05);
            first.answer<bool>(QStringLiteral("seekSer"), 1);
            first.streamer->call(QStringLiteral("playSer"));
            ASSERT_TRUE(first.answer<bool>(QStringLiteral("serIsPlaying")));
            ending.end(first);
            ASSERT_TRUE(first.process.waitFinished());
        }
        RunningStreamer next(runtime.path());
        EXPECT_EQ(next.answer<int>(QStringLiteral("serTotalFrames")), ending.resumed ? 3 : 0);
        EXPECT_EQ(next.answer<int>(QStringLiteral("serCurrentFrame")), ending.resumed ? 1 : -1);
        EXPECT_EQ(next.answer<bool>(QStringLiteral("serIsPlaying")), ending.resumed);
        EXPECT_EQ(QFile::exists(record), ending.resumed);
        next.streamer->call(QDBus::NoBlock, QStringLiteral("stop"));
        ASSERT_TRUE(next.process.waitFinished());
        EXPECT_FALSE(QFile::exists(record)) << "stop left the record";
    }
}

// Each process that takes a crashed source up counts itself in the record
// before it shows it; after three crashes in a row the next process shows
// nothing and says why.
TEST(StreamerRecordTest, ASourceThatCrashedThreeProcessesInARowIsDropped)
{
    const QTemporaryDir runtime;
    const QString ser = sertest::writeTinySerFile(runtime);
    const QString record = runtime.filePath(QStringLiteral("dorvenquill-streamer/source.json"));
    const QString errorPath = runtime.filePath(QStringLiteral("stderr"));
    {
        RunningStreamer first(runtime.path());
        ASSERT_TRUE(first.answer<bool>(QStringLiteral("openSer"), ser));
        ASSERT_TRUE(first.answer<bool>(QStringLiteral("seekSer"), 2));
        ::kill(first.process.pid(), SIGKILL);
        ASSERT_TRUE(first.process.waitFinished());
    }
    for (int resumes = 1; resumes <= 2; ++resumes) {
        SCOPED_TRACE(resumes);
        RunningStreamer next(runtime.path());
        EXPECT_EQ(next.answer<int>(QStringLiteral("serCurrentFrame")), 2);
        QFile file(record);
        const std::optional<SourceRecord> kept =
            file.open(QIODevice::ReadOnly) ? SourceRecord::fromJson(file.readAll(), nullptr) : std::nullopt;
        ASSERT_TRUE(kept);
        EXPECT_EQ(kept->resumes, resumes);
        EXPECT_EQ(kept->frame, 2);
        ::kill(next.process.pid(), SIGKILL);
        ASSERT_TRUE(next.process.waitFinished());
    }
    RunningStreamer fourth(runtime.path(), errorPath);
    EXPECT_EQ(fourth.answer<int>(QStringLiteral("serTotalFrames")), 0);
    EXPECT_FALSE(QFile::exists(record));
    const QString logged = fileText(errorPath);
    EXPECT_TRUE(logged.contains(QStringLiteral("the last 3 processes that showed it ended without stop")) &&
        logged.count(QLatin1Char('\n')) == 1)
        << logged.toStdString();
}

// A record that cannot be shown is dropped with one line, and nothing is
// shown. Something else than a file in its place (a FIFO, which would block
// a reader, a link, a directory) or a file too large to be one is dropped at
// once, and SIGTERM ends the service.
TEST(StreamerRecordTest, ARecordThatCannotBeShownIsDroppedWithOneLine)
{
    const QTemporaryDir runtime;
    const QString ser = sertest::writeTinySerFile(runtime);
    const QString record = runtime.filePath(QStringLiteral("dorvenquill-streamer/source.json"));
    const QString errorPath = runtime.filePath(QStringLiteral("stderr"));
    const QByteArray shown =
        "{\"source\":\"ser\",\"path\":\"" + ser.toUtf8() + "\",\"frame\":1,\"fps\":2,\"playing\":true,\"resumes\":0}";
    const QString elsewhere = runtime.filePath(QStringLiteral("elsewhere.json"));
    QFile target(elsewhere);
    ASSERT_TRUE(target.open(QIODevice::WriteOnly) && target.write(shown) == shown.size());
    target.close();
    struct Row {
        QByteArray text;
        QString reason;
        std::function<bool(const QString&)> make = {};  // puts something else there instead of `text`
    };
    const Row rows[] = {
        {"{\"source\":\"ser\",", QStringLiteral("not a JSON object")},
        {"{\"source\":\"ser\",\"path\":\"/nonexistent.ser\",\"frame\":1,\"fps\":2,\"playing\":true,\"resumes\":0}",
            QStringLiteral("/nonexistent.ser")},
        {"{\"source\":\"ser\",\"path\":\"" + ser.toUtf8() + "\",\"frame\":-1,\"fps\":2,\"playing\":true,\"resumes\":0}",
            QStringLiteral("without its path, frame")},
        {"{\"source\":\"ser\",\"path\":\"" + ser.toUtf8() + "\",\"frame\":1,\"fps\":2,\"playing\":true,\"resumes\":2}",
            QStringLiteral("the last 3 processes that showed it ended without stop")},
        {"{\"source\":\"live\",\"device\":\"\",\"resumes\":0}", QStringLiteral("without a device")},
        {shown + QByteArray(100 * 1024, ' '), QStringLiteral("larger than 65536 bytes")},
        {{}, QStringLiteral("not a regular file"),
            [](const QString& path) { return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0; }},
        {{}, QStringLiteral("a symbolic link"), [&](const QString& path) { return QFile::link(elsewhere, path); }},
        {{}, QStringLiteral("not a regular file"), [](const QString& path) { return QDir().mkdir(path); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason.toStdString());
        ASSERT_TRUE(QDir().mkpath(QFileInfo(record).path()));
        if (row.make) {
            ASSERT_TRUE(row.make(record));
        } else {
            QFile file(record);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(row.text) == row.text.size());
        }
        {
            RunningStreamer next(runtime.path(), errorPath);
            EXPECT_EQ(next.answer<int>(QStringLiteral("serTotalFrames")), 0);
            EXPECT_FALSE(QFileInfo(record).exists() || QFileInfo(record).isSymLink());
            ::kill(next.process.pid(), SIGTERM);
            ASSERT_TRUE(next.process.waitFinished());
        }
        const QString logged = fileText(errorPath);
        EXPECT_TRUE(logged.contains(row.reason) && logged.count(QLatin1Char('\n')) == 1) << logged.toStdString();
    }
}

// --- The live feed ---------------------------------------------------------------

// A listener on the INDI port whose queue is full takes no connection: it
// holds each attempt to connect until the library gives up, seconds later,
// and the service then writes its line. start and the next call answer
// before that line: they do not wait for the INDI server.
TEST(StreamerLiveTest, BusCallsAnswerWhileTheIndiServerHoldsTheConnection)
{
    constexpr int kIndiPort = 7624, kQueueFillers = 3;
    const quelmor::test::PortHolder rude(kIndiPort);
    ASSERT_TRUE(rude.holds()) << "port " << kIndiPort << " is taken";
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kIndiPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<quelmor::net::UniqueFd> queued;
    for (int filler = 0; filler < kQueueFillers; ++filler) {
        queued.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ::connect(queued.back().get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    const QTemporaryDir runtime;
    const QString errorPath = runtime.filePath(QStringLiteral("stderr"));
    const QString given_up = QStringLiteral("no INDI server answers");
    RunningStreamer service(runtime.path(), errorPath);
    // start has no reply: the answer to the next call comes once it is over.
    service.streamer->call(QDBus::NoBlock, QStringLiteral("start"), QStringLiteral("Rude Camera"));
    EXPECT_EQ(service.answer<int>(QStringLiteral("serCurrentFrame")), -1);
    EXPECT_FALSE(fileText(errorPath).contains(given_up)) << "the calls waited for the attempt to connect";
    EXPECT_TRUE(waitUntil([&] { return fileText(errorPath).contains(given_up); }, kExitWaitMs))
        << "no attempt to connect was held and given up";
    service.streamer->call(QDBus::NoBlock, QStringLiteral("stop"));
    EXPECT_TRUE(service.process.waitFinished());
}

}  // namespace
