// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "fitsunpack/CfitsioImage.h"
#include "fitsunpack/FitsLayout.h"
#include "live/CameraFrame.h"

#include <QString>

#include <cstdint>
#include <string>

// Decodes a tile-compressed FITS image in dorvenquill-fits-unpack processes,
// never in the service: cfitsio's decompressors trust their keywords and
// their Rice data, and a hostile tile can make them read past it, divide by
// zero or loop. Each process confines itself before it reads the picture
// (UnpackSandbox.h); a large image is split into two halves decoded at once.
//
// The service gives the picture's bytes to the processes in a sealed memfd
// and takes the samples back from a memfd of the size its own reading of the
// headers (inspectFitsImage) allows: a reply that does not match that
// geometry sample for sample is refused, and nothing beyond that size is
// ever read. Each process is killed when it outlives its deadline (a few
// seconds, more for large images) and always reaped. A process that fails or
// crashes loses its picture, with the reason.
//
// Threads: reentrant; it blocks the calling thread (a picture worker) for at
// most the deadline. The processes are started with posix_spawn, which is
// safe in a process with threads, and with an empty environment and signal
// mask.
class FitsUnpacker {
public:
    // Where the unpacking program is: the path given to useHelper(), else
    // beside the running executable (the build tree), else in the installed
    // libexec folder beside the executable's bin folder.
    static std::string helperPath();
    // For test and benchmark programs, which run from other build folders than
    // the service's; called before any picture is decoded.
    static void useHelper(const std::string& path);

    explicit FitsUnpacker(std::string helper) : helper_(std::move(helper)) { }

    // Decodes the image `layout` describes from `bytes` (a FITS file of whole
    // blocks) into `frame`, and reports its BAYERPAT in `mosaic`. False with a
    // one-line reason in `error`.
    bool unpack(const char* bytes, std::int64_t length, const FitsImageLayout& layout, CameraFrame& frame,
        CfitsioImage::Mosaic& mosaic, QString& error) const;

private:
    std::string helper_;
};
