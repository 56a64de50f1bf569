// SPDX-License-Identifier: GPL-3.0-or-later
#include "ser/SerReader.h"

#include "ser/SerColorId.h"

#include <QtEndian>
#include <QtNumeric>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

namespace {

constexpr int kFileIdOffset = 0;
constexpr int kColorIdOffset = 18;
constexpr int kLittleEndianOffset = 22;
constexpr int kWidthOffset = 26;
constexpr int kHeightOffset = 30;
constexpr int kPixelDepthOffset = 34;
constexpr int kFrameCountOffset = 38;
constexpr int kObserverOffset = 42;
constexpr int kInstrumentOffset = 82;
constexpr int kTelescopeOffset = 122;
constexpr int kDateTimeUtcOffset = 170;
constexpr int kTextBytes = 40;
constexpr qint64 kTimestampBytes = 8;
// Bits per sample: 1 to 8 are stored in one byte, 9 to 16 in two.
constexpr std::int32_t kMinPixelDepth = 1;
constexpr std::int32_t kMaxPixelDepth = 16;

constexpr char kLucamFileId[] = "LUCAM-RECORDER";
constexpr char kIndiFileId[] = "INDI-RECORDER";

constexpr qint64 kTicksPerSecond = 10000000;
constexpr qint64 kUnixEpochTicks = 621355968000000000;
constexpr qint64 kUnixEpochSeconds = 62135596800;

const char* const kTooSmall = "File is too small to contain a valid SER header";
const char* const kBadFileId = "Not a SER file (bad FileID)";
const char* const kBadGeometry = "Unsupported or corrupt SER header dimensions/depth";
const char* const kNoCompleteFrames = "SER file has no complete frames";
const char* const kNoFrames = "SER file contains no frames";
const char* const kNotRegularFile = "Not a regular file";

std::int32_t int32At(const QByteArray& header, int offset)
{
    return qFromLittleEndian<qint32>(header.constData() + offset);
}

qint64 int64At(const QByteArray& header, int offset)
{
    return qFromLittleEndian<qint64>(header.constData() + offset);
}

bool hasSerFileId(const QByteArray& header)
{
    const char* id = header.constData() + kFileIdOffset;
    if (std::memcmp(id, kLucamFileId, sizeof kLucamFileId - 1) == 0)
        return true;
    // The INDI recorder writes its shorter id followed by a zero byte.
    return std::memcmp(id, kIndiFileId, sizeof kIndiFileId) == 0;
}

QString headerText(const QByteArray& header, int offset)
{
    const char* text = header.constData() + offset;
    const void* zero = std::memchr(text, 0, kTextBytes);
    const int length = zero ? int(static_cast<const char*>(zero) - text) : kTextBytes;
    return QString::fromLatin1(text, length).trimmed();
}

QDateTime startTimeFromTicks(qint64 ticks)
{
    if (ticks <= kUnixEpochTicks)
        return QDateTime();
    return QDateTime::fromSecsSinceEpoch(ticks / kTicksPerSecond - kUnixEpochSeconds).toUTC();
}

void swapSampleBytes(QByteArray& bytes)
{
    char* sample = bytes.data();
    char* const end = sample + (bytes.size() & ~qsizetype(1));
    for (; sample != end; sample += 2)
        std::swap(sample[0], sample[1]);
}

}  // namespace

bool SerReader::open(const QString& path, QString* error)
{
    QString message;
    const bool opened = openRegularFile(path, message) && readHeader(message);
    if (opened)
        return true;
    file.close();
    if (error)
        *error = message;
    return false;
}

// Opens without blocking (a FIFO without a writer would hang a plain open) and
// refuses directories, FIFOs and devices before a single byte is read.
bool SerReader::openRegularFile(const QString& path, QString& error)
{
    close();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = qt_error_string(errno);
        return false;
    }
    struct stat status { };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        error = QString::fromLatin1(kNotRegularFile);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file.setFileName(path);
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        error = file.errorString();
        return false;
    }
    return true;
}

bool SerReader::readHeader(QString& error)
{
    const QByteArray header = file.read(kHeaderBytes);
    if (header.size() < kHeaderBytes) {
        error = QString::fromLatin1(kTooSmall);
        return false;
    }
    if (!hasSerFileId(header)) {
        error = QString::fromLatin1(kBadFileId);
        return false;
    }
    pixelDepth_ = int32At(header, kPixelDepthOffset);
    colorId_ = int32At(header, kColorIdOffset);
    // The format's text says 0 means big-endian, but every recorder in use
    // (INDI's among them) writes 0 with little-endian samples.
    littleEndian_ = int32At(header, kLittleEndianOffset) == 0;
    width_ = int32At(header, kWidthOffset);
    height_ = int32At(header, kHeightOffset);
    dataOffset_ = kHeaderBytes;
    observer_ = headerText(header, kObserverOffset);
    instrument_ = headerText(header, kInstrumentOffset);
    telescope_ = headerText(header, kTelescopeOffset);
    startTimeUtc_ = startTimeFromTicks(int64At(header, kDateTimeUtcOffset));

    if (width_ < 1 || height_ < 1 || pixelDepth_ < kMinPixelDepth || pixelDepth_ > kMaxPixelDepth ||
        frameByteSize() > kMaxFrameBytes) {
        error = QString::fromLatin1(kBadGeometry);
        return false;
    }
    const qint64 dataSize = file.size() - kHeaderBytes;
    if (dataSize < frameByteSize()) {
        error = QString::fromLatin1(kNoCompleteFrames);
        return false;
    }
    const qint64 completeFrames = dataSize / frameByteSize();
    const std::int32_t announced = int32At(header, kFrameCountOffset);
    const std::int32_t available = std::int32_t(qMin<qint64>(completeFrames, INT32_MAX));
    frameCount_ = (announced > 0 && announced < available) ? announced : available;
    if (frameCount_ < 1) {
        error = QString::fromLatin1(kNoFrames);
        return false;
    }
    readTrailer();
    return true;
}

// The trailer, when present, holds one timestamp per frame right after the
// counted frames; only the first and last are needed. Problems are ignored.
void SerReader::readTrailer()
{
    const qint64 framesEnd = dataOffset_ + qint64(frameCount_) * frameByteSize();
    if (frameCount_ <= 1 || file.size() - framesEnd < qint64(frameCount_) * kTimestampBytes)
        return;
    QByteArray first;
    QByteArray last;
    if (file.seek(framesEnd))
        first = file.read(kTimestampBytes);
    if (file.seek(framesEnd + qint64(frameCount_ - 1) * kTimestampBytes))
        last = file.read(kTimestampBytes);
    if (first.size() != kTimestampBytes || last.size() != kTimestampBytes)
        return;
    const qint64 firstTicks = int64At(first, 0);
    const qint64 lastTicks = int64At(last, 0);
    if (firstTicks >= lastTicks)
        return;
    // The span of two signed tick counts may exceed the signed range, never the unsigned one.
    const quint64 spanTicks = quint64(lastTicks) - quint64(firstTicks);
    recordedDuration_ = double(spanTicks) / double(kTicksPerSecond);
    recordedFps_ = double(frameCount_ - 1) / recordedDuration_;
}

void SerReader::close()
{
    file.close();
    width_ = 0;
    height_ = 0;
    pixelDepth_ = 8;
    frameCount_ = 0;
    colorId_ = 0;
    observer_.clear();
    instrument_.clear();
    telescope_.clear();
    startTimeUtc_ = QDateTime();
    recordedDuration_ = 0.0;
    recordedFps_ = 0.0;
}

qint64 SerReader::frameByteSize() const
{
    const qint64 bytesPerSample = pixelDepth_ > 8 ? 2 : 1;
    const qint64 planes = SerColorId::isInterleavedColour(colorId_) ? 3 : 1;
    // Corrupt dimensions can overflow 64 bits; such a size only has to compare as too large.
    qint64 size = 0;
    if (qMulOverflow(qint64(width_) * qint64(height_), bytesPerSample * planes, &size))
        return std::numeric_limits<qint64>::max();
    return size;
}

bool SerReader::readFrame(int index, QByteArray& bytes)
{
    if (!file.isOpen() || index < 0 || index >= frameCount_)
        return false;
    const qint64 size = frameByteSize();
    if (!file.seek(dataOffset_ + qint64(index) * size))
        return false;
    bytes.resize(size);
    if (file.read(bytes.data(), size) != size)
        return false;
    if (pixelDepth_ > 8 && !littleEndian_)
        swapSampleBytes(bytes);
    return true;
}
