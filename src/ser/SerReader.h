// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>

#include <cstdint>

// Reads SER video files: checks the 178-byte header, works out how many whole
// frames the file holds, reads the optional trailer of frame timestamps, and
// reads any frame by index as raw bytes with 16-bit samples in host order.
// Depths of 1 to 16 bits a sample are accepted; the samples of depths 1 to 8
// take one byte, those of 9 to 16 two, and they are handed on as stored.
// Only regular files are opened, without blocking on FIFOs or devices.
//
// Thread: the one that owns it (the player's, main). Not thread-safe.
class SerReader {
public:
    static constexpr qint64 kHeaderBytes = 178;
    // Larger frames are refused: no SER camera writes them, and one read would
    // need more memory than the machines this runs on have.
    static constexpr qint64 kMaxFrameBytes = qint64(1) << 30;

    SerReader() = default;
    Q_DISABLE_COPY_MOVE(SerReader)

    // Closes any previous file, then opens `path`. On failure the file is
    // closed and `error`, when given, receives the reason.
    bool open(const QString& path, QString* error = nullptr);
    // Closes the file and resets the header fields (dataOffset and
    // littleEndian keep their values).
    void close();
    bool isOpen() const { return file.isOpen(); }

    // Reads frame `index` (0 .. frameCount - 1) into `bytes`, reusing its
    // storage; false keeps every field and leaves the file open, and the
    // content of `bytes` is then meaningless.
    bool readFrame(int index, QByteArray& bytes);

    // Bytes of one frame: width x height x (2 above 8 bits) x (3 for RGB/BGR).
    qint64 frameByteSize() const;

    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    std::int32_t pixelDepth() const { return pixelDepth_; }
    std::int32_t frameCount() const { return frameCount_; }
    std::int32_t colorId() const { return colorId_; }
    bool littleEndian() const { return littleEndian_; }
    qint64 dataOffset() const { return dataOffset_; }
    const QString& observer() const { return observer_; }
    const QString& instrument() const { return instrument_; }
    const QString& telescope() const { return telescope_; }
    const QDateTime& startTimeUtc() const { return startTimeUtc_; }
    double recordedDuration() const { return recordedDuration_; }
    double recordedFps() const { return recordedFps_; }

private:
    bool openRegularFile(const QString& path, QString& error);
    bool readHeader(QString& error);
    void readTrailer();

    QFile file;
    qint64 dataOffset_ = kHeaderBytes;
    std::int32_t width_ = 0;
    std::int32_t height_ = 0;
    std::int32_t pixelDepth_ = 8;
    std::int32_t frameCount_ = 0;
    std::int32_t colorId_ = 0;
    bool littleEndian_ = true;
    QString observer_;
    QString instrument_;
    QString telescope_;
    QDateTime startTimeUtc_;
    double recordedDuration_ = 0.0;
    double recordedFps_ = 0.0;
};
