// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/FitsUnpacker.h"

#include "fitsunpack/UnpackProtocol.h"
#include "mjpeg/UniqueFd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

using quelmor::net::UniqueFd;

namespace {

constexpr const char* kHelperName = "dorvenquill-fits-unpack";
// The installed helper, from the folder of the installed executable.
constexpr const char* kInstalledHelper = "../libexec/dorvenquill-streamer/dorvenquill-fits-unpack";
constexpr std::int64_t kMaxSampleBytes = 8;
// Images of more samples are decoded in two halves at once; smaller ones
// are not worth a second process.
constexpr std::int64_t kSamplesToSplit = std::int64_t(1) << 20;
constexpr int kSplitParts = 2;
// The deadline: this much, plus a second per this many samples (a slow
// arm64 core decodes Rice tiles at several times that pace).
constexpr int kBaseDeadlineSeconds = 2;
constexpr std::int64_t kSamplesPerDeadlineSecond = 10'000'000;

std::mutex helperMutex;
// Guarded by helperMutex; constructed on first use, so that test programs may
// give it while their own statics are set up.
std::string& givenHelper()
{
    static std::string path;
    return path;
}

using Clock = std::chrono::steady_clock;

// A descriptor numbered above those the process is given (0 to 3), so that
// dup2 onto them never meets the descriptor itself and keeps its close-on-exec.
UniqueFd aboveSpawnedDescriptors(UniqueFd fd)
{
    if (!fd.isValid() || fd.get() > kUnpackSamplesFd)
        return fd;
    return UniqueFd(fcntl(fd.get(), F_DUPFD_CLOEXEC, kUnpackSamplesFd + 1));
}

UniqueFd sizedMemfd(const char* name, std::int64_t bytes)
{
    UniqueFd fd(memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (fd.isValid() && ftruncate(fd.get(), off_t(bytes)) != 0)
        fd.reset();
    return aboveSpawnedDescriptors(std::move(fd));
}

bool writeAllAt(int fd, const char* data, std::int64_t size, std::int64_t offset)
{
    while (size > 0) {
        const ssize_t written = pwrite(fd, data, std::size_t(std::min<std::int64_t>(size, SSIZE_MAX)), off_t(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= written;
        offset += written;
    }
    return true;
}

bool readAllAt(int fd, char* data, std::int64_t size)
{
    for (std::int64_t offset = 0; offset < size;) {
        const ssize_t got = pread(fd, data + offset, std::size_t(std::min<std::int64_t>(size - offset, SSIZE_MAX)),
            off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        offset += got;
    }
    return true;
}

// The request and the picture, sealed: no process can change or resize them.
UniqueFd requestMemfd(const UnpackRequest& request, const char* bytes, std::int64_t length)
{
    UniqueFd fd = sizedMemfd("fits-picture", kUnpackBlobOffset + length);
    const bool written = fd.isValid() &&
        writeAllAt(fd.get(), reinterpret_cast<const char*>(&request), sizeof request, 0) &&
        writeAllAt(fd.get(), bytes, length, kUnpackBlobOffset);
    constexpr int kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;
    if (!written || fcntl(fd.get(), F_ADD_SEALS, kSeals) != 0)
        fd.reset();
    return fd;
}

// One process: its reply so far, and how it ended.
struct Part {
    pid_t pid = -1;
    UniqueFd reply;
    UnpackReply answer;
    std::size_t answered = 0;
    bool overlong = false;
    int waitStatus = 0;
};

// posix_spawn's settings, released on every way out.
struct SpawnSettings {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSettings()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSettings()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;
};

// Starts part `number` with the request on 0, a reply pipe on 1, the
// service's standard error on 2 and the samples on 3; nothing else is open.
int spawnPart(const std::string& helper, int number, int requestFd, int samplesFd, Part& part)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return errno;
    part.reply.reset(pipeFds[0]);
    UniqueFd writeEnd = aboveSpawnedDescriptors(UniqueFd(pipeFds[1]));
    SpawnSettings settings;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&settings.attributes, &none);
    posix_spawnattr_setsigdefault(&settings.attributes, &all);
    posix_spawnattr_setflags(&settings.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_adddup2(&settings.actions, requestFd, kUnpackRequestFd);
    posix_spawn_file_actions_adddup2(&settings.actions, writeEnd.get(), kUnpackReplyFd);
    posix_spawn_file_actions_adddup2(&settings.actions, samplesFd, kUnpackSamplesFd);
    posix_spawn_file_actions_addclosefrom_np(&settings.actions, kUnpackSamplesFd + 1);
    std::string argument = std::to_string(number);
    char* argv[] = {const_cast<char*>(helper.c_str()), argument.data(), nullptr};
    char* environment[] = {nullptr};
    const int result = posix_spawn(&part.pid, helper.c_str(), &settings.actions, &settings.attributes, argv, environment);
    if (result != 0)
        part.pid = -1;
    return result;
}

// Reads what the part has written; false once it has closed its pipe.
bool readReply(Part& part)
{
    char* into = reinterpret_cast<char*>(&part.answer) + part.answered;
    std::array<char, 64> excess;
    const std::size_t room = sizeof part.answer - part.answered;
    const ssize_t got = room > 0 ? read(part.reply.get(), into, room) : read(part.reply.get(), excess.data(), excess.size());
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (got <= 0)
        return false;
    if (room > 0)
        part.answered += std::size_t(got);
    else
        part.overlong = true;
    return true;
}

// Collects every reply until each part closes its pipe or the deadline
// passes, then kills what still runs and reaps every process.
bool awaitParts(std::vector<Part>& parts, Clock::time_point deadline)
{
    std::vector<Part*> open;
    for (Part& part : parts)
        open.push_back(&part);
    while (!open.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        std::vector<pollfd> polled;
        for (const Part* part : open)
            polled.push_back({part->reply.get(), POLLIN, 0});
        if (poll(polled.data(), polled.size(), int(std::min<long long>(left, INT_MAX))) < 0 && errno != EINTR)
            break;
        for (std::size_t i = polled.size(); i-- > 0;) {
            if (polled[i].revents != 0 && !readReply(*open[i]))
                open.erase(open.begin() + std::ptrdiff_t(i));
        }
    }
    for (Part* part : open)
        kill(part->pid, SIGKILL);
    for (Part& part : parts) {
        while (waitpid(part.pid, &part.waitStatus, 0) < 0 && errno == EINTR) {
        }
    }
    return open.empty();
}

// Why the part's answer is no decoded image of `layout`, or empty when it is.
QString partFailure(const Part& part, const FitsImageLayout& layout)
{
    if (WIFSIGNALED(part.waitStatus))
        return QStringLiteral("the unpacking process died of signal %1 (%2)")
            .arg(WTERMSIG(part.waitStatus))
            .arg(QString::fromLatin1(strsignal(WTERMSIG(part.waitStatus))));
    const UnpackReply& reply = part.answer;
    if (!WIFEXITED(part.waitStatus) || WEXITSTATUS(part.waitStatus) != 0 || part.answered != sizeof reply ||
        part.overlong || reply.magic != kUnpackMagic)
        return QStringLiteral("the unpacking process ended with status %1 without a whole answer")
            .arg(WIFEXITED(part.waitStatus) ? WEXITSTATUS(part.waitStatus) : -1);
    if (reply.decoded == 0)
        return QString::fromUtf8(reply.reason, qsizetype(strnlen(reply.reason, sizeof reply.reason)));
    std::int64_t sampleBytes = 0;
    const bool known = visitSampleType(PixelType(reply.pixelType), [&](auto s) { sampleBytes = sizeof(*s); });
    if (!known || sampleBytes > kMaxSampleBytes || reply.width != layout.width || reply.height != layout.height ||
        reply.planes != layout.planes)
        return QStringLiteral("the unpacking process answered another image than the FITS header describes");
    return {};
}

}  // namespace

std::string FitsUnpacker::helperPath()
{
    {
        std::lock_guard<std::mutex> lock(helperMutex);
        if (!givenHelper().empty())
            return givenHelper();
    }
    std::string executable(PATH_MAX, '\0');
    const ssize_t size = readlink("/proc/self/exe", executable.data(), executable.size() - 1);
    executable.resize(std::size_t(std::max<ssize_t>(size, 0)));
    const std::string folder = executable.substr(0, executable.rfind('/') + 1);
    const std::string beside = folder + kHelperName;
    return access(beside.c_str(), X_OK) == 0 ? beside : folder + kInstalledHelper;
}

void FitsUnpacker::useHelper(const std::string& path)
{
    std::lock_guard<std::mutex> lock(helperMutex);
    givenHelper() = path;
}

bool FitsUnpacker::unpack(const char* bytes, std::int64_t length, const FitsImageLayout& layout, CameraFrame& frame,
    CfitsioImage::Mosaic& mosaic, QString& error) const
{
    const std::int64_t count = layout.samples();
    const int seconds = int(kBaseDeadlineSeconds + count / kSamplesPerDeadlineSecond);
    UnpackRequest request;
    request.blobBytes = layout.hduEnd;
    request.compressed = layout.compressed ? 1 : 0;
    request.width = layout.width;
    request.height = layout.height;
    request.planes = layout.planes;
    request.bitpix = layout.bitpix;
    request.hduEnd = layout.hduEnd;
    request.parts = count >= kSamplesToSplit ? kSplitParts : 1;
    request.samplesBytes = count * kMaxSampleBytes;
    request.cpuSeconds = seconds;
    const UniqueFd requestFd = requestMemfd(request, bytes, std::min(length, layout.hduEnd));
    UniqueFd samplesFd = sizedMemfd("fits-samples", request.samplesBytes);
    if (!requestFd.isValid() || !samplesFd.isValid() ||
        fcntl(samplesFd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        error = QStringLiteral("the compressed FITS picture cannot be handed over: %1")
                    .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
    std::vector<Part> parts(std::size_t(request.parts));
    int spawnError = 0;
    for (int number = 0; number < request.parts && spawnError == 0; ++number)
        spawnError = spawnPart(helper_, number, requestFd.get(), samplesFd.get(), parts[std::size_t(number)]);
    if (spawnError != 0) {
        // The parts started so far are killed and reaped at once.
        parts.erase(std::remove_if(parts.begin(), parts.end(), [](const Part& p) { return p.pid <= 0; }), parts.end());
        awaitParts(parts, Clock::now());
        error = QStringLiteral("the unpacking program %1 cannot be started: %2")
                    .arg(QString::fromStdString(helper_), QString::fromLocal8Bit(std::strerror(spawnError)));
        return false;
    }
    if (!awaitParts(parts, deadline)) {
        error = QStringLiteral("the unpacking process took more than %1 s and was killed").arg(seconds);
        return false;
    }
    for (const Part& part : parts) {
        if (error = partFailure(part, layout); !error.isEmpty())
            return false;
        const UnpackReply& first = parts.front().answer;
        if (part.answer.pixelType != first.pixelType ||
            std::memcmp(part.answer.bayerPattern, first.bayerPattern, sizeof first.bayerPattern) != 0) {
            error = QStringLiteral("the unpacking processes answered different images");
            return false;
        }
    }
    const UnpackReply& reply = parts.front().answer;
    const auto pixelType = PixelType(reply.pixelType);
    std::int64_t sampleBytes = 0;
    visitSampleType(pixelType, [&](auto s) { sampleBytes = sizeof(*s); });
    try {
        frame.samples = QByteArray(qsizetype(count * sampleBytes), Qt::Uninitialized);
    } catch (const std::bad_alloc&) {
        error = QStringLiteral("memory ran out for a FITS image of %1 x %2 pixels").arg(layout.width).arg(layout.height);
        return false;
    }
    if (!readAllAt(samplesFd.get(), frame.samples.data(), frame.samples.size())) {
        error = QStringLiteral("the unpacked samples cannot be read back");
        return false;
    }
    frame.width = std::int32_t(layout.width);
    frame.height = std::int32_t(layout.height);
    frame.channels = std::int32_t(layout.planes);
    frame.pixelType = pixelType;
    mosaic.pattern.assign(reply.bayerPattern, strnlen(reply.bayerPattern, sizeof reply.bayerPattern));
    mosaic.offsetX = reply.bayerOffsetX & 1;
    mosaic.offsetY = reply.bayerOffsetY & 1;
    return true;
}
