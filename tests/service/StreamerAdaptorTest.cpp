// SPDX-License-Identifier: GPL-3.0-or-later
// The control object and its generated adaptor inside the test process: the
// meta-object shape that the bus binding relies on, and the signal relay.
#include "BusTestSupport.h"
#include "EventLoopWait.h"

#include "StreamerAdaptor.h"
#include "service/Streamer.h"

#include <QDBusConnection>
#include <QMetaClassInfo>
#include <QMetaMethod>
#include <QSet>
#include <QStringList>

#include <gtest/gtest.h>

using namespace bustest;
using quelmor::test::waitUntil;

namespace {

QStringList methodNames(const QMetaObject& meta)
{
    QStringList names;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        names.append(QString::fromLatin1(meta.method(i).name()));
    return names;
}

StreamerAdaptor* adaptorOf(Streamer& streamer)
{
    return streamer.findChild<StreamerAdaptor*>(QString(), Qt::FindDirectChildrenOnly);
}

QString classInfo(const QMetaObject& meta, const char* name)
{
    const int index = meta.indexOfClassInfo(name);
    return index < 0 ? QString() : QString::fromUtf8(meta.classInfo(index).value());
}

// --- Shape of the control object ------------------------------------------------

TEST(StreamerMetaObject, SignalsThenScriptableOperationsInOrder)
{
    const QMetaObject& meta = Streamer::staticMetaObject;
    EXPECT_EQ(methodNames(meta), QStringList({"finished", "serFrameChanged"}) + kMethods);
    for (int i = meta.methodOffset() + 2; i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        EXPECT_EQ(method.methodType(), QMetaMethod::Method) << method.methodSignature().constData();
        EXPECT_TRUE(method.attributes() & QMetaMethod::Scriptable) << method.methodSignature().constData();
    }
    EXPECT_EQ(classInfo(meta, "D-Bus Interface"), kInterface);
}

// --- Shape of the generated adaptor ---------------------------------------------

TEST(StreamerAdaptorMetaObject, SignalThenSlotsInAlphabeticalOrderWithNoReplyTags)
{
    const QMetaObject& meta = StreamerAdaptor::staticMetaObject;
    QStringList alphabetical = kMethods;
    alphabetical.sort();
    EXPECT_EQ(methodNames(meta), QStringList{"serFrameChanged"} + alphabetical);

    QSet<QString> noReply;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        if (QByteArray(method.tag()) == "Q_NOREPLY")
            noReply.insert(QString::fromLatin1(method.name()));
    }
    EXPECT_EQ(noReply, kNoReplyMethods);

    const QMetaMethod autoStretch = meta.method(meta.indexOfMethod("autoStretch(double&,double&,double&)"));
    ASSERT_TRUE(autoStretch.isValid());
    EXPECT_EQ(autoStretch.returnType(), QMetaType::Bool);
    EXPECT_TRUE(meta.indexOfMethod("focusMetrics(double&,double&,double&,double&)") >= 0);
}

TEST(StreamerAdaptorMetaObject, IntrospectionTextIsTheInterfaceFileVerbatim)
{
    const QString fileText = interfaceFileText();
    ASSERT_FALSE(fileText.isEmpty()) << "cannot read " << STREAMER_INTERFACE_XML;
    EXPECT_EQ(classInfo(StreamerAdaptor::staticMetaObject, "D-Bus Introspection"), fileText);
    EXPECT_EQ(classInfo(StreamerAdaptor::staticMetaObject, "D-Bus Interface"), kInterface);
}

// --- Adaptor attached to a live control object ----------------------------------

class FrameSignalObserver : public QObject {
    Q_OBJECT
public:
    QList<QPair<int, int>> frames;
public slots:
    void onFrameChanged(int frame, int totalFrames) { frames.append({frame, totalFrames}); }
};

TEST(StreamerAdaptorOnBus, FrameChangesReachTheBusOncePerEmission)
{
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected());
    Streamer streamer;
    ASSERT_NE(adaptorOf(streamer), nullptr);

    // A separate connection sees what any other program on the bus would see.
    QDBusConnection observerBus =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("observer"));
    FrameSignalObserver observer;
    ASSERT_TRUE(observerBus.connect(
        QString(), kPath, kInterface, QStringLiteral("serFrameChanged"), &observer, SLOT(onFrameChanged(int, int))));

    emit streamer.serFrameChanged(3, 10);
    emit streamer.serFrameChanged(4, 10);
    ASSERT_TRUE(waitUntil([&] { return observer.frames.size() >= 2; }));
    // Nothing more arrives: each emission is relayed exactly once.
    waitUntil([] { return false; }, 200);
    EXPECT_EQ(observer.frames, (QList<QPair<int, int>>{{3, 10}, {4, 10}}));

    QDBusConnection::disconnectFromBus(QStringLiteral("observer"));
}

TEST(StreamerAdaptorOnBus, FinishedIsEmittedByStopAndNeverSentOnTheBus)
{
    Streamer streamer;
    int finishedCount = 0;
    QObject::connect(&streamer, &Streamer::finished, [&finishedCount] { ++finishedCount; });
    streamer.stop();
    EXPECT_EQ(finishedCount, 1);
}

}  // namespace

#include "StreamerAdaptorTest.moc"
