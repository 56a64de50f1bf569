// SPDX-License-Identifier: GPL-3.0-or-later
// dorvenquill-fits-unpack: decodes part of one tile-compressed FITS image for
// the service, in a process of its own, so that what cfitsio's decompressors
// do with hostile tiles (read past them, divide by zero, loop) ends here. See
// UnpackProtocol.h for its descriptors; it takes no arguments and no
// environment, confines itself (UnpackSandbox.h) before it reads the picture,
// and answers one UnpackReply, then exits.
#include "fitsunpack/CfitsioImage.h"
#include "fitsunpack/FitsLayout.h"
#include "fitsunpack/UnpackProtocol.h"
#include "fitsunpack/UnpackSandbox.h"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

namespace {

// Room for cfitsio's own state and a tile's buffers beside the mapped bytes.
constexpr std::int64_t kWorkingBytes = std::int64_t(64) << 20;
constexpr std::int64_t kMaxSampleBytes = 8;
constexpr int kMaxAxes = 3;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

bool writeAll(int fd, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= std::size_t(written);
    }
    return true;
}

// Answers and ends the process; _exit skips exit handlers, which the
// sandbox would not let run (LeakSanitizer's, in sanitizer builds).
[[noreturn]] void answer(UnpackReply reply)
{
    writeAll(kUnpackReplyFd, &reply, sizeof reply);
    _exit(0);
}

[[noreturn]] void refuse(const std::string& reason)
{
    UnpackReply reply;
    std::snprintf(reply.reason, sizeof reply.reason, "%s", reason.c_str());
    answer(reply);
}

// The address space in use now, mapped picture included.
std::int64_t addressSpaceInUse()
{
    std::int64_t pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld", &pages) != 1)
            pages = 0;
        std::fclose(statm);
    }
    return pages * sysconf(_SC_PAGESIZE);
}

bool requestSane(const UnpackRequest& request)
{
    const std::int64_t samples = request.width * request.height * request.planes;
    return request.magic == kUnpackMagic && request.blobBytes > 0 && request.width > 0 && request.height > 0 &&
        request.planes > 0 && request.samplesBytes == samples * kMaxSampleBytes && request.hduEnd <= request.blobBytes &&
        request.cpuSeconds > 0 && request.parts >= 1 && request.parts <= kMaxUnpackParts;
}

// The part's number, 0 to parts - 1, from the only argument.
std::optional<int> partNumber(int argc, char** argv, const UnpackRequest& request)
{
    if (argc != 2 || std::strlen(argv[1]) != 1 || argv[1][0] < '0' || argv[1][0] - '0' >= request.parts)
        return std::nullopt;
    return argv[1][0] - '0';
}

// cfitsio reads the part into the samples memfd, checked against the
// service's reading of the header at every step.
[[noreturn]] void unpack(const UnpackRequest& request, int part, const char* blob, char* samples)
{
    const std::int64_t count = request.width * request.height * request.planes;
    const std::int64_t first = count * part / request.parts, end = count * (part + 1) / request.parts;
    const FitsImageLayout expected{request.compressed != 0, request.width, request.height, request.planes, request.bitpix, request.hduEnd};
    FitsImageLayout layout;
    std::string error;
    if (!inspectFitsImage(blob, request.blobBytes, request.width * request.height, layout, error))
        refuse(error);
    if (!(layout == expected))
        refuse("the unpacking process reads another image than the service");
    CfitsioImage image(blob, layout.hduEnd);
    int naxis = 0, bitpix = 0, equivalentType = 0, status = image.openFirstImage(naxis);
    std::array<LONGLONG, kMaxAxes> axes = {1, 1, 1};
    if (status != 0 || fits_get_img_paramll(image.file, kMaxAxes, &bitpix, &naxis, axes.data(), &status) != 0 ||
        fits_get_img_equivtype(image.file, &equivalentType, &status) != 0)
        refuse(cfitsioFailure(status));
    const std::optional<PixelType> pixelType = image.pixelTypeOf(bitpix, equivalentType);
    if (axes[0] != request.width || axes[1] != request.height || axes[2] != request.planes || !pixelType)
        refuse("cfitsio reads another geometry than the FITS header's");
    std::int64_t sampleBytes = 0;
    visitSampleType(*pixelType, [&](auto sample) { sampleBytes = sizeof(*sample); });
    int anyNull = 0;
    if (fits_read_img(image.file, int(*pixelType), first + 1, end - first, nullptr, samples + first * sampleBytes,
            &anyNull, &status) != 0)
        refuse(cfitsioFailure(status));
    UnpackReply reply;
    reply.decoded = 1;
    reply.width = axes[0];
    reply.height = axes[1];
    reply.planes = axes[2];
    reply.pixelType = std::int32_t(*pixelType);
    const CfitsioImage::Mosaic mosaic = image.mosaic();
    std::snprintf(reply.bayerPattern, sizeof reply.bayerPattern, "%s", mosaic.pattern.c_str());
    reply.bayerOffsetX = mosaic.offsetX;
    reply.bayerOffsetY = mosaic.offsetY;
    answer(reply);
}

}  // namespace

// In sanitizer builds, where the address space is not limited: a tile table
// claiming gigabytes makes cfitsio's allocation fail at once, as the limit
// would, instead of AddressSanitizer poisoning it.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=1024";
}

int main(int argc, char** argv)
{
    UnpackRequest request;
    const bool read = pread(kUnpackRequestFd, &request, sizeof request, 0) == ssize_t(sizeof request);
    const std::optional<int> part = read && requestSane(request) ? partNumber(argc, argv, request) : std::nullopt;
    if (!part)
        refuse("the unpacking process got no request it understands");
    void* input = mmap(nullptr, std::size_t(kUnpackBlobOffset + request.blobBytes), PROT_READ, MAP_PRIVATE,
        kUnpackRequestFd, 0);
    void* output = mmap(nullptr, std::size_t(request.samplesBytes), PROT_READ | PROT_WRITE, MAP_SHARED,
        kUnpackSamplesFd, 0);
    if (input == MAP_FAILED || output == MAP_FAILED)
        refuse(std::string("the unpacking process cannot map the picture: ") + std::strerror(errno));
    UnpackLimits limits;
    limits.cpuSeconds = request.cpuSeconds;
    if (!kSanitized)
        limits.addressSpaceBytes = addressSpaceInUse() + 2 * request.blobBytes + 2 * request.samplesBytes + kWorkingBytes;
    std::string error;
    if (!enterUnpackSandbox(limits, error))
        refuse(error);
    unpack(request, *part, static_cast<const char*>(input) + kUnpackBlobOffset, static_cast<char*>(output));
}
