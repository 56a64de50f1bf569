// SPDX-License-Identifier: GPL-3.0-or-later
#include "IndiSimulator.h"

#include "ser/SerReader.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using quelmor::test::IndiSimulator;

constexpr int kRecordTimeoutMs = 60000;
constexpr int kPollIntervalMs = 100;
constexpr int kFrames = 5;
constexpr int kWidth = 64;
constexpr int kHeight = 48;
// The simulator adds its default noise of 0..9 to the offset of a starless sky.
constexpr std::uint16_t kDarkLevel = 1000;
constexpr std::uint16_t kDarkLevelMax = kDarkLevel + 9;
constexpr qint64 kClockSlackSeconds = 3600;

bool waitForFile(const QString& path, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!QFile::exists(path)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(kPollIntervalMs);
    }
    return true;
}

std::vector<std::uint16_t> samplesOf(const QByteArray& frame)
{
    std::vector<std::uint16_t> samples(frame.size() / 2);
    std::memcpy(samples.data(), frame.constData(), samples.size() * 2);
    return samples;
}

// A file from INDI's own recorder: its FileID, its LittleEndian field of 0
// with little-endian samples, and its timestamps, as a real user brings them.
TEST(SerRecorderTest, ReadsWhatIndisRecorderWrote)
{
    QTemporaryDir recordings;
    IndiSimulator simulator(IndiSimulator::kFreePort);
    ASSERT_TRUE(simulator.start() && simulator.connectCamera()) << qPrintable(simulator.log());
    ASSERT_TRUE(simulator.waitForProperty("RECORD_STREAM.RECORD_OFF", "On", kRecordTimeoutMs));
    const QString settings[] = {
        QString("CCD_OFFSET.OFFSET=%1").arg(kDarkLevel),
        QString("CCD_STREAM_FRAME.X;Y;WIDTH;HEIGHT=0;0;%1;%2").arg(kWidth).arg(kHeight),
        QString("RECORD_FILE.RECORD_FILE_DIR;RECORD_FILE_NAME=%1;clip").arg(recordings.path()),
        QString("RECORD_OPTIONS.RECORD_FRAME_TOTAL=%1").arg(kFrames),
        QString("RECORD_STREAM.RECORD_FRAME_ON=On"),
    };
    for (const QString& setting : settings)
        ASSERT_TRUE(simulator.set({setting})) << qPrintable(setting);
    // The file appears when recording starts; the recorder switches itself off
    // after the last frame and the trailer.
    const QString path = recordings.filePath("clip.ser");
    ASSERT_TRUE(waitForFile(path, kRecordTimeoutMs)) << qPrintable(simulator.log());
    ASSERT_TRUE(simulator.waitForProperty("RECORD_STREAM.RECORD_OFF", "On", kRecordTimeoutMs));

    QFile raw(path);
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    EXPECT_EQ(raw.read(14), QByteArray("INDI-RECORDER\0", 14));

    SerReader reader;
    QString error;
    ASSERT_TRUE(reader.open(path, &error)) << qPrintable(error);
    EXPECT_EQ(reader.width(), kWidth);
    EXPECT_EQ(reader.height(), kHeight);
    EXPECT_EQ(reader.pixelDepth(), 16);
    EXPECT_EQ(reader.colorId(), 0);
    EXPECT_EQ(reader.frameCount(), kFrames);
    EXPECT_TRUE(reader.littleEndian());
    EXPECT_LT(qAbs(reader.startTimeUtc().secsTo(QDateTime::currentDateTimeUtc())), kClockSlackSeconds);
    EXPECT_GT(reader.recordedDuration(), 0.0);
    EXPECT_LT(reader.recordedDuration(), kRecordTimeoutMs / 1000.0);

    for (int index = 0; index < reader.frameCount(); ++index) {
        QByteArray frame;
        ASSERT_TRUE(reader.readFrame(index, frame)) << index;
        ASSERT_EQ(frame.size(), kWidth * kHeight * 2) << index;
        const auto samples = samplesOf(frame);
        const auto [darkest, brightest] = std::minmax_element(samples.begin(), samples.end());
        EXPECT_GE(*darkest, kDarkLevel) << "frame " << index;
        EXPECT_LE(*brightest, kDarkLevelMax) << "frame " << index;
    }
}

}  // namespace
