// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QFuture>

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "live/FrameDecoding.h"
#include "stretch/BandStretch.h"
#include "stretch/JpegRowEncoder.h"
#include "stretch/PictureBuffer.h"
#include "stretch/StretchParams.h"

// Stretches and encodes a picture while it is being decoded: the decoding
// thread hands in its rows as they are done, and one task on the global
// thread pool stretches each band and compresses it while the band is still
// in the cache. So the decode and the encode of one picture run side by side,
// and the picture is whole soon after its last row is decoded.
//
// Threads: built, fed, finished and destroyed on the decoding thread. The
// task reads only rows handed in and writes only the picture and the encoder,
// which the decoding thread reads again only after the task has ended.
class StretchedJpegWriter {
public:
    // The quality that asks for the stretched picture alone, not encoded.
    static constexpr int kStretchOnly = 0;

    // `planes` of `decoded` are those the decode fills; `picture` must fit
    // them as for BandStretch and outlive the writer.
    StretchedJpegWriter(
        const StretchParams& params, const DecodedRows& decoded, const PictureBuffer& picture, int quality);
    // Abandons a picture that was not finished and waits for the task.
    ~StretchedJpegWriter();
    StretchedJpegWriter(const StretchedJpegWriter&) = delete;
    StretchedJpegWriter& operator=(const StretchedJpegWriter&) = delete;

    // Rows 0 to endRow - 1 of every plane are decoded and final.
    void rowsDecoded(std::int32_t endRow);
    // Waits for the task; replaces `jpeg` with the picture once every row was
    // decoded, stretched and compressed (left as it is with kStretchOnly),
    // else answers false at once.
    bool finish(QByteArray& jpeg);

private:
    // The task: stretches and compresses the rows as they are handed in.
    void encodeRows();
    // Tells the task to stop at the rows it has.
    void abandon();
    void waitForTask();

    BandStretch stretch_;
    JpegRowEncoder encoder_;
    const bool encoding_;
    const std::int32_t height_;
    const std::int32_t rowsPerHandover_;
    std::int32_t handedOverRows_ = 0;

    std::mutex mutex_;
    std::condition_variable rowsHandedOver_;
    std::int32_t decodedRows_ = 0;  // guarded by mutex_
    bool abandoned_ = false;        // guarded by mutex_
    bool stretchedAll_ = false;     // guarded by mutex_
    QFuture<void> task_;
};
