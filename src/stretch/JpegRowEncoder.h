// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include "stretch/PictureBuffer.h"

#include <memory>

// Encodes a picture whose rows become ready top to bottom, with the settings
// and the bytes of encodePictureJpeg: start() on the picture, writeRows() as
// its rows are ready, finish() for the bytes. The picture's pixels must stay
// in place until finish.
//
// Threads: one object is used on one thread at a time.
class JpegRowEncoder {
public:
    JpegRowEncoder();
    ~JpegRowEncoder();
    JpegRowEncoder(const JpegRowEncoder&) = delete;
    JpegRowEncoder& operator=(const JpegRowEncoder&) = delete;

    // False for a picture that encodePictureJpeg refuses, or when memory runs out.
    bool start(const PictureBuffer& picture, int quality);
    // Compresses the next rowCount rows of the picture; false once anything failed.
    bool writeRows(int rowCount);
    // Replaces `jpeg` with the bytes of the whole picture; false, with `jpeg`
    // left as it was, unless every row was written.
    bool finish(QByteArray& jpeg);

private:
    struct Compression;
    std::unique_ptr<Compression> compression_;
};
