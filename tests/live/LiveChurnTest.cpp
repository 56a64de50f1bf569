// SPDX-License-Identifier: GPL-3.0-or-later
// Replacing and destroying live feeds while pictures stream in: every
// teardown must wait for the INDI receiving thread's handler and free port
// 8080. Run under ASan and TSan; the pictures take the pass-through path.
#include "LiveTestSupport.h"
#include "PortHolder.h"
#include "SerFileWriter.h"

#include "service/Streamer.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace quelmor::test;

namespace {

constexpr int kRounds = 20;

TEST(LiveChurnTest, StartOpenSerStartAndStopLeaveNoHandlerRunningAndThePortFree)
{
    IndiSimulator simulator;
    ASSERT_TRUE(simulator.start());
    ASSERT_TRUE(simulator.connectCamera());
    ASSERT_TRUE(simulator.streamWithContent());
    QTemporaryDir directory;
    const QString serFile = sertest::writeTinySerFile(directory);
    ASSERT_FALSE(serFile.isEmpty());

    bool finished = false;
    {
        Streamer streamer;
        QObject::connect(&streamer, &Streamer::finished, [&finished] { finished = true; });
        for (int round = 0; round < kRounds; ++round) {
            streamer.start(kCamera);
            // Half the rounds tear down mid-stream, the others while the feed is still being set up.
            if (round % 2 == 0) {
                const auto stream = openStream("/jpg");
                ASSERT_TRUE(stream) << "round " << round << ": no stream";
                std::string picture, error;
                ASSERT_TRUE(stream->readPart(picture, error, kEventWaitMs)) << "round " << round << ": " << error;
            }
            streamer.start(kCamera);
            // The player serves on port 8080 only if the live feed's server is gone.
            ASSERT_TRUE(streamer.openSer(serFile))
                << "round " << round << ": " << streamer.serLastError().toStdString();
            streamer.start(kCamera);
            ASSERT_TRUE(waitUntil([] { return portOpen(kHttpPort); })) << "round " << round << ": no server";
        }
        streamer.stop();
        EXPECT_TRUE(finished);
    }
    EXPECT_TRUE(portBindable(kHttpPort)) << "port 8080 still taken after the streamer went";
}

}  // namespace
