// SPDX-License-Identifier: GPL-3.0-or-later
#include "SerFileWriter.h"

#include <QFile>
#include <QtEndian>

namespace sertest {

namespace {

constexpr int kFileIdBytes = 14;
constexpr int kTextBytes = 40;
constexpr std::int64_t kTicksPerMillisecond = 10000;
constexpr std::int64_t kUnixEpochTicks = 621355968000000000;

void appendFixed(QByteArray& out, const QByteArray& bytes, int size)
{
    out.append(bytes.left(size));
    out.append(size - qMin<int>(size, bytes.size()), '\0');
}

template <typename T>
void appendLittleEndian(QByteArray& out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian(value, bytes);
    out.append(bytes, sizeof bytes);
}

}  // namespace

SerHeaderFields serHeaderFields(const SerLayout& layout, std::int32_t frameCount)
{
    SerHeaderFields fields;
    fields.colorId = layout.colorId;
    fields.width = layout.width;
    fields.height = layout.height;
    fields.pixelDepth = layout.depth;
    fields.frameCount = frameCount;
    return fields;
}

QByteArray serHeaderBytes(const SerHeaderFields& fields)
{
    QByteArray header;
    appendFixed(header, fields.fileId, kFileIdBytes);
    for (std::int32_t value : {fields.luId, fields.colorId, fields.littleEndian, fields.width, fields.height,
             fields.pixelDepth, fields.frameCount})
        appendLittleEndian(header, value);
    appendFixed(header, fields.observer, kTextBytes);
    appendFixed(header, fields.instrument, kTextBytes);
    appendFixed(header, fields.telescope, kTextBytes);
    appendLittleEndian(header, fields.dateTimeLocal);
    appendLittleEndian(header, fields.dateTimeUtc);
    Q_ASSERT(header.size() == kHeaderBytes);
    return header;
}

QByteArray serHeader(const SerLayout& layout, std::int32_t frameCount)
{
    return serHeaderBytes(serHeaderFields(layout, frameCount));
}

qint64 serFrameBytes(const SerHeaderFields& fields)
{
    const qint64 bytesPerSample = fields.pixelDepth > 8 ? 2 : 1;
    const bool threePlanes = fields.colorId == kSerColorRgb || fields.colorId == kSerColorBgr;
    return qint64(fields.width) * fields.height * bytesPerSample * (threePlanes ? 3 : 1);
}

std::int64_t serTicks(const QDateTime& utc)
{
    return kUnixEpochTicks + utc.toMSecsSinceEpoch() * kTicksPerMillisecond;
}

bool writeSerFile(const QString& path, const SerHeaderFields& fields, const QByteArray& frameData,
    const QVector<std::int64_t>& trailerTicks)
{
    QByteArray bytes = serHeaderBytes(fields) + frameData;
    for (std::int64_t ticks : trailerTicks)
        appendLittleEndian(bytes, ticks);
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() && file.flush();
}

bool writeSerFile(const QString& path, const SerLayout& layout, const QList<QByteArray>& frames)
{
    return writeSerFile(path, serHeaderFields(layout, std::int32_t(frames.size())), frames.join());
}

QString writeTinySerFile(const QTemporaryDir& directory)
{
    constexpr int kWidth = 16;
    constexpr int kHeight = 8;
    constexpr int kFrames = 3;
    QList<QByteArray> frames;
    for (int frame = 0; frame < kFrames; ++frame) {
        QByteArray samples(kWidth * kHeight, '\0');
        for (int i = 0; i < samples.size(); ++i)
            samples[i] = char((i * 7 + frame * 40) % 256);
        frames.append(samples);
    }
    const QString path = directory.filePath(QStringLiteral("tiny.ser"));
    return writeSerFile(path, SerLayout{kSerColorMono, 8, kWidth, kHeight}, frames) ? path : QString();
}

}  // namespace sertest
