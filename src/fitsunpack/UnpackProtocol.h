// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

// What the service and dorvenquill-fits-unpack say to each other. The service
// starts one process per part of a compressed picture with three descriptors:
//   0: a sealed memfd holding an UnpackRequest at its start (read with pread:
//      the parts share the descriptor), then at kUnpackBlobOffset the FITS
//      file's bytes;
//   1: a pipe on which the process writes one UnpackReply and nothing else;
//   3: a memfd of fixed size into which it writes its part's samples, as
//      cfitsio reads them, at the part's first sample times the sample size.
// Both sides are the same build: the structures are copied as they are.

constexpr int kUnpackRequestFd = 0;
constexpr int kUnpackReplyFd = 1;
constexpr int kUnpackSamplesFd = 3;
constexpr std::uint32_t kUnpackMagic = 0x44514655;  // "UFQD"
// A multiple of every page size Linux uses, so that the file maps in place.
constexpr std::int64_t kUnpackBlobOffset = std::int64_t(1) << 16;
constexpr std::size_t kUnpackReasonBytes = 200;
constexpr std::int32_t kMaxUnpackParts = 8;

struct UnpackRequest {
    std::uint32_t magic = kUnpackMagic;
    std::int64_t blobBytes = 0;
    // The service's own reading of the headers (FitsImageLayout).
    std::int32_t compressed = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t planes = 0;
    std::int32_t bitpix = 0;
    std::int64_t hduEnd = 0;
    // The image's samples, counted over all planes, are read in this many
    // parts of equal size; the process's only argument is its part's number.
    std::int32_t parts = 1;
    // The size of the samples memfd: every sample at 8 bytes.
    std::int64_t samplesBytes = 0;
    std::int32_t cpuSeconds = 0;
};

struct UnpackReply {
    std::uint32_t magic = kUnpackMagic;
    std::int32_t decoded = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t planes = 0;
    std::int32_t pixelType = 0;  // a PixelType
    char bayerPattern[8] = {};   // BAYERPAT, empty without one
    std::int32_t bayerOffsetX = 0;
    std::int32_t bayerOffsetY = 0;
    char reason[kUnpackReasonBytes] = {};  // why not decoded, ending in a NUL
};
