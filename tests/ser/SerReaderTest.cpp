// SPDX-License-Identifier: GPL-3.0-or-later
#include "SerFileWriter.h"

#include "ser/SerReader.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <limits>

using namespace sertest;

namespace {

const QString kTooSmall = "File is too small to contain a valid SER header";
const QString kBadFileId = "Not a SER file (bad FileID)";
const QString kBadGeometry = "Unsupported or corrupt SER header dimensions/depth";
const QString kNoCompleteFrames = "SER file has no complete frames";
const QString kNotRegularFile = "Not a regular file";

constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr auto kPromptReturn = std::chrono::seconds(10);

// Frame bytes whose every byte tells frame and position apart.
QByteArray numberedBytes(qint64 size, int seed = 0)
{
    QByteArray bytes(size, '\0');
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + seed * 31 + 1) & 0xff);
    return bytes;
}

SerHeaderFields fieldsWith(std::int32_t width, std::int32_t height, std::int32_t depth, std::int32_t colorId = 0)
{
    return serHeaderFields({colorId, depth, width, height});
}

class SerReaderTest : public ::testing::Test {
protected:
    QString writeRaw(const QByteArray& bytes)
    {
        const QString path = dir.filePath(QString("raw%1.ser").arg(++files));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        return path;
    }

    QString write(const SerHeaderFields& fields, const QByteArray& frameData, const QVector<std::int64_t>& trailer = {})
    {
        const QString path = dir.filePath(QString("file%1.ser").arg(++files));
        EXPECT_TRUE(writeSerFile(path, fields, frameData, trailer));
        return path;
    }

    // Writes `frames` numbered frames (a fraction ends in a partial one) under the header as given.
    QString writeFrames(const SerHeaderFields& fields, double frames, const QVector<std::int64_t>& trailer = {})
    {
        return write(fields, numberedBytes(qint64(frames * double(serFrameBytes(fields)))), trailer);
    }

    QTemporaryDir dir;
    SerReader reader;
    int files = 0;
};

// Every rejection of a file's content, with the message the caller sees.
TEST_F(SerReaderTest, RefusesBadHeadersWithTheirMessage)
{
    const QByteArray validHeader = serHeaderBytes(SerHeaderFields());
    auto withFileId = [](const QByteArray& id) {
        SerHeaderFields fields;
        fields.fileId = id;
        return serHeaderBytes(fields) + QByteArray(1, 'x');
    };
    auto header = [](const SerHeaderFields& fields) { return serHeaderBytes(fields) + QByteArray(64, 'x'); };
    const struct {
        const char* name;
        QByteArray bytes;
        QString message;
    } cases[] = {
        {"empty file", QByteArray(), kTooSmall},
        {"177 bytes", validHeader.left(177), kTooSmall},
        {"header without data", validHeader, kNoCompleteFrames},
        {"half a frame", header(fieldsWith(16, 8, 8)), kNoCompleteFrames},
        {"INDI id without its zero byte", withFileId("INDI-RECORDERX"), kBadFileId},
        {"short LUCAM id", withFileId("LUCAM-RECORDE"), kBadFileId},
        {"lower-case id", withFileId("lucam-recorder"), kBadFileId},
        {"depth 17", header(fieldsWith(1, 1, 17)), kBadGeometry},
        {"depth 32", header(fieldsWith(1, 1, 32)), kBadGeometry},
        {"depth -8", header(fieldsWith(1, 1, -8)), kBadGeometry},
        {"depth 0", header(fieldsWith(1, 1, 0)), kBadGeometry},
        {"width 0", header(fieldsWith(0, 1, 8)), kBadGeometry},
        {"height 0", header(fieldsWith(1, 0, 8)), kBadGeometry},
        {"negative width", header(fieldsWith(-4, 1, 8)), kBadGeometry},
        {"65535 x 65535 16-bit RGB", header(fieldsWith(65535, 65535, 16, kSerColorRgb)), kBadGeometry},
        {"largest dimensions 16-bit BGR", header(fieldsWith(kInt32Max, kInt32Max, 16, kSerColorBgr)), kBadGeometry},
        // 1025 x 1047553 = 2^30 + 1; exactly 2^30 passes and fails only for lack of data.
        {"one byte above 1 GiB", header(fieldsWith(1025, 1047553, 8)), kBadGeometry},
        {"exactly 1 GiB", header(fieldsWith(16384, 32768, 16)), kNoCompleteFrames},
    };
    for (const auto& c : cases) {
        QString error;
        EXPECT_FALSE(reader.open(writeRaw(c.bytes), &error)) << c.name;
        EXPECT_EQ(error, c.message) << c.name;
        EXPECT_FALSE(reader.isOpen()) << c.name;
    }
}

TEST_F(SerReaderTest, AcceptsBothRecordersFileIds)
{
    const struct {
        QByteArray fileId;
        std::int32_t luId;
    } cases[] = {
        {"LUCAM-RECORDER", 0},
        {"LUCAM-RECORDER", 0x7a7a7a7a},  // whatever follows the 14 bytes
        {QByteArray("INDI-RECORDER\0", 14), 0},
    };
    for (const auto& c : cases) {
        SerHeaderFields fields;
        fields.fileId = c.fileId;
        fields.luId = c.luId;
        QString error;
        EXPECT_TRUE(reader.open(writeFrames(fields, 1), &error)) << c.fileId.constData() << ": " << qPrintable(error);
    }
}

TEST_F(SerReaderTest, MissingFileFailsWithTheSystemsReason)
{
    QString error;
    EXPECT_FALSE(reader.open(dir.filePath("absent.ser"), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(reader.isOpen());
}

// Directories, FIFOs and devices are refused before anything is read; a FIFO
// without a writer must not block the caller.
TEST_F(SerReaderTest, RefusesWhatIsNotARegularFile)
{
    const QString fifo = dir.filePath("fifo.ser");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& path : {dir.path(), fifo, QString("/dev/zero")}) {
        auto opening = std::async(std::launch::async, [this, &path] {
            QString error;
            const bool opened = reader.open(path, &error);
            return opened ? QString("opened") : error;
        });
        if (opening.wait_for(kPromptReturn) == std::future_status::timeout) {
            // A writer releases the blocked open so the test can end.
            const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
            opening.wait();
            ::close(writer);
            ADD_FAILURE() << qPrintable(path) << ": open blocked";
            continue;
        }
        EXPECT_EQ(opening.get(), kNotRegularFile) << qPrintable(path);
        EXPECT_FALSE(reader.isOpen()) << qPrintable(path);
    }
}

// The header's count is trusted only when it is smaller than what the data
// holds; a partial last frame is never counted.
TEST_F(SerReaderTest, FrameCountComesFromTheDataUnlessTheHeaderSaysLess)
{
    const struct {
        std::int32_t announced;
        std::int32_t expected;
    } cases[] = {{20, 10}, {0, 10}, {-3, 10}, {10, 10}, {7, 7}, {1, 1}};
    for (const auto& c : cases) {
        SerHeaderFields fields = fieldsWith(4, 2, 8);
        fields.frameCount = c.announced;
        ASSERT_TRUE(reader.open(writeFrames(fields, 10.5))) << c.announced;
        EXPECT_EQ(reader.frameCount(), c.expected) << c.announced;
    }
}

// Timestamps sit right after the counted frames; only a rising first-to-last
// span gives a duration and a rate.
TEST_F(SerReaderTest, TrailerGivesDurationAndRate)
{
    const std::int64_t start = 638452696299999999;
    const std::int64_t threeSeconds = 3 * kTicksPerSecond;
    const double fullSpanSeconds = double(std::numeric_limits<std::uint64_t>::max()) / double(kTicksPerSecond);
    const struct {
        const char* name;
        std::int32_t width;
        std::int32_t announced;
        QVector<std::int64_t> trailer;
        double duration;
        double fps;
    } cases[] = {
        {"seven frames over 3 s", 64, 7, {start, start + 1, 2, 3, 4, 5, start + threeSeconds}, 3.0, 2.0},
        // 8-byte frames: the trailer itself looks like seven more frames.
        {"count below frames present", 4, 7, {start, 0, 0, 0, 0, 0, start + threeSeconds}, 3.0, 2.0},
        {"one frame", 64, 1, {start}, 0.0, 0.0},
        {"equal first and last", 64, 3, {start, start + 9, start}, 0.0, 0.0},
        {"last before first", 64, 3, {start, start, start - 1}, 0.0, 0.0},
        {"trailer one entry short", 64, 3, {start, start + threeSeconds}, 0.0, 0.0},
        {"widest span", 64, 3, {kInt64Min, 0, kInt64Max}, fullSpanSeconds, 2.0 / fullSpanSeconds},
    };
    for (const auto& c : cases) {
        SerHeaderFields fields = fieldsWith(c.width, 2, 8);
        fields.frameCount = c.announced;
        ASSERT_TRUE(reader.open(writeFrames(fields, c.announced, c.trailer))) << c.name;
        EXPECT_EQ(reader.frameCount(), c.announced) << c.name;
        EXPECT_DOUBLE_EQ(reader.recordedDuration(), c.duration) << c.name;
        EXPECT_DOUBLE_EQ(reader.recordedFps(), c.fps) << c.name;
    }
}

TEST_F(SerReaderTest, StartTimeIsTheUtcInstantOfTheTicks)
{
    const QDateTime unixEpoch(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC);
    const struct {
        std::int64_t ticks;
        QDateTime expected;
    } cases[] = {
        {0, QDateTime()},
        {-1, QDateTime()},
        {621355968000000000, QDateTime()},  // the Unix epoch itself counts as unset
        {621355968000000001, unixEpoch},
        // 2024-03-05 21:07:09.9999999: whole seconds only.
        {638452696299999999, QDateTime(QDate(2024, 3, 5), QTime(21, 7, 9), Qt::UTC)},
    };
    for (const auto& c : cases) {
        SerHeaderFields fields;
        fields.dateTimeUtc = c.ticks;
        fields.dateTimeLocal = 638452696299999999 + kTicksPerSecond * 3600;
        ASSERT_TRUE(reader.open(writeFrames(fields, 1))) << c.ticks;
        EXPECT_EQ(reader.startTimeUtc().isValid(), c.expected.isValid()) << c.ticks;
        if (c.expected.isValid()) {
            EXPECT_EQ(reader.startTimeUtc(), c.expected) << c.ticks;
            EXPECT_EQ(reader.startTimeUtc().timeSpec(), Qt::UTC) << c.ticks;
        }
    }
}

TEST_F(SerReaderTest, TextsAreTrimmedLatin1UpToTheirFirstZero)
{
    SerHeaderFields fields;
    fields.observer = QByteArray("  home  \0ignored", 16);
    fields.instrument = "Caf\xe9 \xb5-cam\t";
    fields.telescope = QByteArray(40, 'T');
    fields.dateTimeLocal = 0x4141414141414141;  // would show if the text ran on
    ASSERT_TRUE(reader.open(writeFrames(fields, 1)));
    EXPECT_EQ(reader.observer(), QString("home"));
    EXPECT_EQ(reader.instrument(), QString::fromUtf8("Café µ-cam"));
    EXPECT_EQ(reader.telescope(), QString(40, 'T'));
}

// Two-byte samples (9 to 16 bits): LittleEndian 0 means stored little-endian,
// anything else big-endian; one-byte samples are never touched.
TEST_F(SerReaderTest, SamplesArriveInHostOrder)
{
    const QByteArray stored("\x01\x02\x03\x04\xfe\xff", 6);
    const QByteArray swapped("\x02\x01\x04\x03\xff\xfe", 6);
    const struct {
        std::int32_t depth;
        std::int32_t littleEndian;
        QByteArray expected;
    } cases[] = {{16, 0, stored}, {16, 1, swapped}, {16, -7, swapped}, {9, 1, swapped}, {12, 0, stored}, {8, 1, stored},
        {8, 0, stored}, {1, 1, stored}};
    for (const auto& c : cases) {
        SerHeaderFields fields = fieldsWith(c.depth > 8 ? 3 : 6, 1, c.depth);
        fields.littleEndian = c.littleEndian;
        ASSERT_TRUE(reader.open(write(fields, stored + stored)));
        QByteArray frame;
        ASSERT_TRUE(reader.readFrame(1, frame));
        EXPECT_EQ(frame, c.expected) << c.depth << " bits, LittleEndian " << c.littleEndian;
    }
}

// Each colour layout gives its frame size, and every frame is read from its own place.
TEST_F(SerReaderTest, ReadsEachFrameAtItsOffset)
{
    const struct {
        std::int32_t colorId;
        std::int32_t depth;
        qint64 frameBytes;
    } cases[] = {{kSerColorMono, 8, 8}, {kSerColorMono, 16, 16}, {kSerColorBayerRggb, 16, 16}, {kSerColorRgb, 8, 24},
        {kSerColorBgr, 16, 48}, {55, 16, 16}, {kSerColorMono, 1, 8}, {kSerColorBayerRggb, 10, 16},
        {kSerColorRgb, 7, 24}, {kSerColorBgr, 14, 48}};
    constexpr int kFrames = 3;
    for (const auto& c : cases) {
        const SerHeaderFields fields = fieldsWith(4, 2, c.depth, c.colorId);
        QByteArray data;
        for (int i = 0; i < kFrames; ++i)
            data += numberedBytes(c.frameBytes, i);
        ASSERT_TRUE(reader.open(write(fields, data + "partial")));
        EXPECT_EQ(reader.frameByteSize(), c.frameBytes) << c.colorId;
        ASSERT_EQ(reader.frameCount(), kFrames) << c.colorId;
        for (int i : {2, 0, 1}) {
            QByteArray frame;
            ASSERT_TRUE(reader.readFrame(i, frame)) << c.colorId;
            EXPECT_EQ(frame, numberedBytes(c.frameBytes, i)) << c.colorId << " frame " << i;
        }
    }
}

TEST_F(SerReaderTest, ReadFrameRefusesWhatIsNotThereAndStaysOpen)
{
    const SerHeaderFields fields = fieldsWith(4, 2, 8);
    const QString path = writeFrames(fields, 3);
    ASSERT_TRUE(reader.open(path));
    QByteArray frame = "untouched";
    EXPECT_FALSE(reader.readFrame(3, frame));
    EXPECT_FALSE(reader.readFrame(-1, frame));
    EXPECT_EQ(frame, QByteArray("untouched"));
    EXPECT_TRUE(reader.isOpen());
    EXPECT_TRUE(reader.readFrame(2, frame));

    // A file cut short after opening fails the read of its lost frame only.
    ASSERT_TRUE(QFile::resize(path, 178 + 2 * 8 + 3));
    EXPECT_FALSE(reader.readFrame(2, frame));
    EXPECT_TRUE(reader.readFrame(1, frame));
    EXPECT_EQ(frame, numberedBytes(3 * 8).mid(8, 8));
    EXPECT_TRUE(reader.isOpen());
}

// Nothing of one file survives into the next open, successful or not.
TEST_F(SerReaderTest, ReopeningForgetsThePreviousFile)
{
    SerHeaderFields first = fieldsWith(4, 2, 8);
    first.frameCount = 3;
    first.observer = "first";
    first.dateTimeUtc = 638452696299999999;
    ASSERT_TRUE(reader.open(writeFrames(first, 3, {0, 1, 2 * kTicksPerSecond})));
    ASSERT_DOUBLE_EQ(reader.recordedFps(), 1.0);

    ASSERT_TRUE(reader.open(writeFrames(fieldsWith(2, 2, 16), 5)));
    EXPECT_EQ(reader.frameCount(), 5);
    EXPECT_EQ(reader.pixelDepth(), 16);
    EXPECT_EQ(reader.observer(), QString());
    EXPECT_FALSE(reader.startTimeUtc().isValid());
    EXPECT_EQ(reader.recordedFps(), 0.0);
    EXPECT_EQ(reader.recordedDuration(), 0.0);

    EXPECT_FALSE(reader.open(writeRaw("short")));
    EXPECT_FALSE(reader.isOpen());
    EXPECT_EQ(reader.frameCount(), 0);
    QByteArray frame;
    EXPECT_FALSE(reader.readFrame(0, frame));
}

}  // namespace
