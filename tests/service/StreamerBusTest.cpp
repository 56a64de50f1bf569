// SPDX-License-Identifier: GPL-3.0-or-later
// The service as a real process on a private session bus, driven the way a
// controlling program drives it.
#include "BusTestSupport.h"
#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "PortHolder.h"
#include "SerFileWriter.h"
#include "ServiceProcess.h"

#include "service/SourceRecord.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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
#include <optional>
#include <string>
#include <vector>

using namespace bustest;
using quelmor::test::ServiceProcess;
using quelmor::test::StretchAnswer;
using quelmor::test::waitUntil;

namespace {

constexpr int kExitWaitMs = 10000;

// The unique bus name of the connection of the process `pid`, once it has one.
QString uniqueNameOf(pid_t pid)
{
    QDBusConnectionInterface* busDaemon = QDBusConnection::sessionBus().interface();
    for (const QString& name : busDaemon->registeredServiceNames().value()) {
        if (name.startsWith(QLatin1Char(':')) && busDaemon->servicePid(name).value() == static_cast<uint>(pid))
            return name;
    }
    return QString();
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
    void SetUp() override { ASSERT_TRUE(service_.start()) << "the service did not come up on the session bus"; }

    ServiceProcess service_;
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
    QStringList names;
    QSet<QString> noReply;
    for (const IntrospectedMethod& method : iface.methods) {
        names.append(method.name);
        if (method.noReply)
            noReply.insert(method.name);
    }
    EXPECT_EQ(names, kMethods);
    EXPECT_EQ(noReply, kNoReplyMethods);

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
    EXPECT_TRUE(service_.answersEveryQuery());
    EXPECT_FALSE(service_.autoStretch().success);
    EXPECT_FALSE(service_.focusMetrics().available);
}

TEST_F(StreamerBusTest, CommandsWithoutASourceChangeNothing)
{
    for (const char* method : {"playSer", "pauseSer", "stopSer"})
        service_.tell(QString::fromLatin1(method));
    service_.tell(QStringLiteral("setSerSpeed"), {30.0});
    service_.tell(QStringLiteral("setStretchParams"), {0.1, 0.3, 0.9});

    // Calls are served in order, so these answers come after every command above.
    EXPECT_EQ(service_.answer<int>(QStringLiteral("serCurrentFrame")), -1);
    EXPECT_FALSE(service_.answer<bool>(QStringLiteral("serIsPlaying")));
    const StretchAnswer stretch = service_.autoStretch();
    EXPECT_TRUE(stretch.replied && !stretch.success);
    EXPECT_TRUE(service_.isRunning());
}

TEST_F(StreamerBusTest, OpenSerOfAMissingFileAnswersFalse)
{
    EXPECT_FALSE(service_.answer<bool>(QStringLiteral("openSer"), {QStringLiteral("/nonexistent/capture.ser")}));
    EXPECT_EQ(service_.answer<int>(QStringLiteral("serTotalFrames")), 0);
    EXPECT_TRUE(service_.isRunning());
}

// --- Ending the service --------------------------------------------------------

TEST_F(StreamerBusTest, StopEndsTheProcessAndReleasesTheName)
{
    ASSERT_TRUE(service_.stop()) << "the service did not exit after stop";
    EXPECT_EQ(service_.exitCode(), 0) << "it ended by a signal or with an error";
    EXPECT_TRUE(waitUntil([] { return !ServiceProcess::nameIsOwned(); }));

    const QDBusMessage late = service_.call(QStringLiteral("serCurrentFrame"));
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
        {{STREAMER_EXECUTABLE}, QStringLiteral("already owned by ") + uniqueNameOf(service_.pid())},
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
    EXPECT_EQ(service_.answer<int>(QStringLiteral("serCurrentFrame")), -1);
}

// --- The source after a crash ---------------------------------------------------

// A runtime folder, where the services a test starts keep the record of their
// source, with a SER file to show.
class StreamerRecordTest : public ::testing::Test {
protected:
    const QTemporaryDir runtime;
    const QString ser = sertest::writeTinySerFile(runtime);
    const QString record = runtime.filePath(QStringLiteral("dorvenquill-streamer/source.json"));
    const QString errorPath = runtime.filePath(QStringLiteral("stderr"));
};

// Only a process that ends without stop or a signal, as in a crash, leaves
// its source for the next one, which shows the same file at the same frame.
TEST_F(StreamerRecordTest, TheSourceOfACrashedProcessIsTakenUpAgain)
{
    struct Ending {
        const char* name;
        std::function<void(ServiceProcess&)> end;
        bool resumed;
    };
    const Ending endings[] = {
        {"SIGKILL", [](ServiceProcess& s) { s.signal(SIGKILL); }, true},
        {"SIGSEGV", [](ServiceProcess& s) { s.signal(SIGSEGV); }, true},
        {"SIGTERM", [](ServiceProcess& s) { s.signal(SIGTERM); }, false},
        {"SIGHUP", [](ServiceProcess& s) { s.signal(SIGHUP); }, false},
        {"stop", [](ServiceProcess& s) { s.tell(QStringLiteral("stop")); }, false},
    };
    for (const Ending& ending : endings) {
        SCOPED_TRACE(ending.name);
        {
            ServiceProcess first(runtime.path());
            ASSERT_TRUE(first.start());
            ASSERT_TRUE(first.answer<bool>(QStringLiteral("openSer"), {ser}));
            // Slow enough that the frame does not move before the next process is asked.
            first.call(QStringLiteral("setSerSpeed"), {0.05});
            first.answer<bool>(QStringLiteral("seekSer"), {1});
            first.call(QStringLiteral("playSer"));
            ASSERT_TRUE(first.answer<bool>(QStringLiteral("serIsPlaying")));
            ending.end(first);
            ASSERT_TRUE(first.waitForExit());
        }
        ServiceProcess next(runtime.path());
        ASSERT_TRUE(next.start());
        EXPECT_EQ(next.answer<int>(QStringLiteral("serTotalFrames")), ending.resumed ? 3 : 0);
        EXPECT_EQ(next.answer<int>(QStringLiteral("serCurrentFrame")), ending.resumed ? 1 : -1);
        EXPECT_EQ(next.answer<bool>(QStringLiteral("serIsPlaying")), ending.resumed);
        EXPECT_EQ(QFile::exists(record), ending.resumed);
        ASSERT_TRUE(next.stop());
        EXPECT_FALSE(QFile::exists(record)) << "stop left the record";
    }
}

// Each process that takes a crashed source up counts itself in the record
// before it shows it; after three crashes in a row the next process shows
// nothing and says why.
TEST_F(StreamerRecordTest, ASourceThatCrashedThreeProcessesInARowIsDropped)
{
    {
        ServiceProcess first(runtime.path());
        ASSERT_TRUE(first.start());
        ASSERT_TRUE(first.answer<bool>(QStringLiteral("openSer"), {ser}));
        ASSERT_TRUE(first.answer<bool>(QStringLiteral("seekSer"), {2}));
        ASSERT_TRUE(first.kill());
    }
    for (int resumes = 1; resumes <= 2; ++resumes) {
        SCOPED_TRACE(resumes);
        ServiceProcess next(runtime.path());
        ASSERT_TRUE(next.start());
        EXPECT_EQ(next.answer<int>(QStringLiteral("serCurrentFrame")), 2);
        QFile file(record);
        const std::optional<SourceRecord> kept =
            file.open(QIODevice::ReadOnly) ? SourceRecord::fromJson(file.readAll(), nullptr) : std::nullopt;
        ASSERT_TRUE(kept);
        EXPECT_EQ(kept->resumes, resumes);
        EXPECT_EQ(kept->frame, 2);
        ASSERT_TRUE(next.kill());
    }
    ServiceProcess fourth(runtime.path(), errorPath);
    ASSERT_TRUE(fourth.start());
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
TEST_F(StreamerRecordTest, ARecordThatCannotBeShownIsDroppedWithOneLine)
{
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
            ServiceProcess next(runtime.path(), errorPath);
            ASSERT_TRUE(next.start());
            EXPECT_EQ(next.answer<int>(QStringLiteral("serTotalFrames")), 0);
            EXPECT_FALSE(QFileInfo(record).exists() || QFileInfo(record).isSymLink());
            next.signal(SIGTERM);
            ASSERT_TRUE(next.waitForExit());
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
    ServiceProcess service(runtime.path(), errorPath);
    ASSERT_TRUE(service.start());
    // start has no reply: the answer to the next call comes once it is over.
    service.tell(QStringLiteral("start"), {QStringLiteral("Rude Camera")});
    EXPECT_EQ(service.answer<int>(QStringLiteral("serCurrentFrame")), -1);
    EXPECT_FALSE(fileText(errorPath).contains(given_up)) << "the calls waited for the attempt to connect";
    EXPECT_TRUE(waitUntil([&] { return fileText(errorPath).contains(given_up); }, kExitWaitMs))
        << "no attempt to connect was held and given up";
    EXPECT_TRUE(service.stop());
}

}  // namespace
