// SPDX-License-Identifier: GPL-3.0-or-later
// Any bytes a camera sends as a FITS file, deflated or not, or as a raw stream
// frame are decoded without crashing or leaking, and a picture that decodes
// fills exactly its planes.
//
// Tile-compressed FITS images (fpack's ".fz") take the whole way the service
// takes them: our own reading of their keywords in this process, then
// dorvenquill-fits-unpack, sandboxed, decoding them; whatever cfitsio does
// there (this build's program is instrumented too, and an AddressSanitizer
// report ends it) must come back as a reason or as exactly the image's samples.
//
// Input: byte 0 picks the format (0 FITS, 1 deflated FITS, else raw stream);
// a raw stream's geometry takes the next 7 bytes (width and height 16-bit
// little-endian, binning, CFA type 0 to 4, CFA offsets in bits 0 and 1); the
// rest are the picture's bytes.
#include "live/FitsUnpacker.h"
#include "live/PictureDecoding.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr std::size_t kGeometryBytes = 7;
const char* const kCfaTypes[] = {"", "RGGB", "GRBG", "GBRG", "BGGR"};
constexpr std::size_t kCfaTypeCount = sizeof(kCfaTypes) / sizeof(kCfaTypes[0]);

StreamGeometry geometryFrom(const std::uint8_t* bytes)
{
    StreamGeometry geometry;
    geometry.width = bytes[0] | bytes[1] << 8;
    geometry.height = bytes[2] | bytes[3] << 8;
    geometry.binX = geometry.binY = bytes[4];
    geometry.cfaType = kCfaTypes[bytes[5] % kCfaTypeCount];
    geometry.cfaOffsetX = bytes[6] & 1;
    geometry.cfaOffsetY = (bytes[6] >> 1) & 1;
    return geometry;
}

std::int64_t sampleBytes(PixelType type)
{
    std::int64_t bytes = 0;
    if (!visitSampleType(type, [&](auto sample) { bytes = sizeof(*sample); }))
        std::abort();
    return bytes;
}

}  // namespace

// cfitsio 4.2 can size a binary table's columns from a count it never read,
// when that table's header is malformed: the calloc fails outside ASan and
// cfitsio answers an error, so here too it answers null instead of aborting.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FitsUnpacker::useHelper(FITS_UNPACK_EXECUTABLE);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    PictureFormatName format{PictureFormat::Fits, data[0] == 1};
    StreamGeometry geometry;
    std::size_t skipped = 1;
    if (data[0] > 1) {
        if (size < 1 + kGeometryBytes)
            return 0;
        format.format = PictureFormat::RawStream;
        geometry = geometryFrom(data + 1);
        skipped += kGeometryBytes;
    }
    const auto* bytes = reinterpret_cast<const char*>(data + skipped);
    const auto length = std::int64_t(size - skipped);
    CameraFrame frame;
    QString error;
    if (!decodeCameraPicture(format, bytes, length, geometry, frame, error)) {
        if (error.isEmpty())
            std::abort();
        return 0;
    }
    const std::int64_t samples = std::int64_t(frame.width) * frame.height * frame.channels;
    if ((frame.channels != 1 && frame.channels != 3) || frame.samples.size() != samples * sampleBytes(frame.pixelType))
        std::abort();
    return 0;
}
