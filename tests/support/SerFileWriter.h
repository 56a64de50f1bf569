// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QVector>

#include <cstdint>

namespace sertest {

// The size of every SER header.
constexpr qint64 kHeaderBytes = 178;

// Every field of a SER header as a writer puts it on disk; the defaults make a
// valid 1 x 1 8-bit mono header whose FrameCount 0 leaves the reader to count
// the frames in the data. Texts are cut or zero-padded to 40 bytes, the FileID
// to 14.
struct SerHeaderFields {
    QByteArray fileId = "LUCAM-RECORDER";
    std::int32_t luId = 0;
    std::int32_t colorId = 0;
    std::int32_t littleEndian = 0;
    std::int32_t width = 1;
    std::int32_t height = 1;
    std::int32_t pixelDepth = 8;
    std::int32_t frameCount = 0;
    QByteArray observer;
    QByteArray instrument;
    QByteArray telescope;
    std::int64_t dateTimeLocal = 0;
    std::int64_t dateTimeUtc = 0;
};

constexpr std::int32_t kSerColorMono = 0;
constexpr std::int32_t kSerColorBayerRggb = 8;
constexpr std::int32_t kSerColorRgb = 100;
constexpr std::int32_t kSerColorBgr = 101;

// How a file's frames are laid out; the rest of its header keeps the defaults.
struct SerLayout {
    std::int32_t colorId = kSerColorMono;
    std::int32_t depth = 8;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// The header fields of `frameCount` frames laid out as `layout`; the rest keep
// their defaults.
SerHeaderFields serHeaderFields(const SerLayout& layout, std::int32_t frameCount = 0);
// The 178 header bytes, integers little-endian.
QByteArray serHeaderBytes(const SerHeaderFields& fields);
// The header of `frameCount` frames laid out as `layout`; LittleEndian holds
// 0, as the recorders in use write it for little-endian samples.
QByteArray serHeader(const SerLayout& layout, std::int32_t frameCount);

// Bytes of one frame as the header describes it: width x height x (2 above
// 8 bits) x (3 for RGB/BGR).
qint64 serFrameBytes(const SerHeaderFields& fields);

// SER time: 100 ns ticks since 0001-01-01 00:00 UTC.
std::int64_t serTicks(const QDateTime& utc);

// Writes the header, then `frameData` as it is (whole frames or not), then one
// 8-byte little-endian timestamp per entry of `trailerTicks`.
bool writeSerFile(const QString& path, const SerHeaderFields& fields, const QByteArray& frameData,
    const QVector<std::int64_t>& trailerTicks = {});
// Writes the header and the frames back to back; false when the file cannot be written.
bool writeSerFile(const QString& path, const SerLayout& layout, const QList<QByteArray>& frames);
// Writes "tiny.ser" in `directory`, a small valid file (8-bit mono, 3 frames
// of 16 x 8), and returns its path; empty when it cannot be written.
QString writeTinySerFile(const QTemporaryDir& directory);

}  // namespace sertest
