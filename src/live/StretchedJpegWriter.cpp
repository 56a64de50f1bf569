// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/StretchedJpegWriter.h"

#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

namespace {

// Each handover may wake the task, which costs the decoding thread about as
// much as decoding a few rows; the last one leaves its band's stretch and
// encode after the decode. A sixteenth of the picture keeps both small.
constexpr std::int32_t kHandoversPerPicture = 16;

}  // namespace

StretchedJpegWriter::StretchedJpegWriter(
    const StretchParams& params, const DecodedRows& decoded, const PictureBuffer& picture, int quality)
    : stretch_(params, decoded.planes, decoded.width, decoded.height, decoded.channels, picture),
      encoding_(quality != kStretchOnly), height_(decoded.height),
      rowsPerHandover_(std::max(1, (decoded.height + kHandoversPerPicture - 1) / kHandoversPerPicture))
{
    if (encoding_ && !encoder_.start(picture, quality))
        return;  // finish answers false
    task_ = QtConcurrent::run(QThreadPool::globalInstance(), [this] { encodeRows(); });
}

StretchedJpegWriter::~StretchedJpegWriter()
{
    abandon();
    waitForTask();
}

void StretchedJpegWriter::rowsDecoded(std::int32_t endRow)
{
    if (endRow - handedOverRows_ < rowsPerHandover_ && endRow < height_)
        return;
    handedOverRows_ = endRow;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        decodedRows_ = endRow;
    }
    rowsHandedOver_.notify_one();
}

bool StretchedJpegWriter::finish(QByteArray& jpeg)
{
    if (handedOverRows_ < height_)
        abandon();  // rows that never come are not waited for
    waitForTask();
    if (!encoding_) {
        std::lock_guard<std::mutex> lock(mutex_);
        return stretchedAll_;
    }
    return encoder_.finish(jpeg);
}

void StretchedJpegWriter::encodeRows()
{
    std::int32_t doneRows = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    while (doneRows < height_) {
        rowsHandedOver_.wait(lock, [&] { return abandoned_ || decodedRows_ > doneRows; });
        if (abandoned_)
            break;
        const std::int32_t readyRows = decodedRows_;
        lock.unlock();
        stretch_.renderRows(doneRows, readyRows - doneRows);
        const bool written = !encoding_ || encoder_.writeRows(readyRows - doneRows);
        lock.lock();
        if (!written)
            break;
        doneRows = readyRows;
    }
    stretchedAll_ = doneRows == height_;
}

void StretchedJpegWriter::abandon()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        abandoned_ = true;
    }
    rowsHandedOver_.notify_one();
}

void StretchedJpegWriter::waitForTask()
{
    task_.waitForFinished();
    // The task's last act was to release the mutex: taking it here orders
    // its writes to the picture and the encoder before ours.
    std::lock_guard<std::mutex> lock(mutex_);
}
