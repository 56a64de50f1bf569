// SPDX-License-Identifier: GPL-3.0-or-later
// Renders every frame of generated SER files through the player's render path
// (read, demosaic or planes, stretch, JPEG at quality 85) as fast as it can,
// then has ffmpeg turn the same file into MJPEG, and prints per file:
//   ser w=... h=... depth=... color=... frames=... fps=... ms_per_frame=...
//       read_ms=... render_ms=... encode_ms=...
//   ffmpeg_fps=... ratio=...
// The stage figures are milliseconds per frame (render: demosaic or split and
// stretch, done band by band for colour frames); ratio is the player's rate
// over ffmpeg's (ffmpeg with two threads, -q:v 3).
#include "ser/SerFrameRenderer.h"
#include "ser/SerReader.h"
#include "stretch/JpegEncoding.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int kFrames = 60;
constexpr qint64 kHeaderBytes = 178;
constexpr int kStars = 400;
constexpr int kFfmpegTimeoutMs = 600000;

struct Case {
    std::int32_t width;
    std::int32_t height;
    std::int32_t depth;
    std::int32_t colorId;
};

struct StageTimes {
    double read = 0;
    double render = 0;
    double encode = 0;
    double total() const { return read + render + encode; }
};

QByteArray header(const Case& c)
{
    QByteArray bytes(kHeaderBytes, '\0');
    bytes.replace(0, 14, "LUCAM-RECORDER");
    const std::int32_t fields[] = {c.colorId, 0, c.width, c.height, c.depth, kFrames};
    for (int i = 0; i < 6; ++i)
        qToLittleEndian<qint32>(fields[i], bytes.data() + 18 + 4 * i);
    return bytes;
}

// A sky drifting by one pixel a frame: a background gradient with noise and
// Gaussian stars, in the file's sample size and little-endian order.
QByteArray skyFrame(const Case& c, int frame)
{
    const double top = c.depth == 8 ? 255.0 : 65535.0;
    std::vector<double> sky(std::size_t(c.width) * c.height);
    std::uint32_t state = 2463534242u + std::uint32_t(frame);
    const auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return double(state >> 8) / 16777216.0;
    };
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x)
            sky[std::size_t(y) * c.width + x] = top * (0.06 + 0.04 * x / c.width + 0.02 * next());
    std::uint32_t starState = 88172645u;
    for (int s = 0; s < kStars; ++s) {
        starState = starState * 1664525u + 1013904223u;
        const int cx = int(starState % std::uint32_t(c.width)) + frame;
        starState = starState * 1664525u + 1013904223u;
        const int cy = int(starState % std::uint32_t(c.height));
        const double peak = top * (0.2 + 0.7 * (s % 10) / 10.0);
        for (int dy = -4; dy <= 4; ++dy)
            for (int dx = -4; dx <= 4; ++dx) {
                const int x = cx + dx;
                const int y = cy + dy;
                if (x >= 0 && x < c.width && y >= 0 && y < c.height)
                    sky[std::size_t(y) * c.width + x] += peak * std::exp(-(dx * dx + dy * dy) / 3.0);
            }
    }
    const int bytesPerSample = c.depth == 8 ? 1 : 2;
    QByteArray bytes(qsizetype(sky.size()) * bytesPerSample, '\0');
    for (std::size_t i = 0; i < sky.size(); ++i) {
        const auto level = std::uint16_t(std::min(sky[i], top));
        if (bytesPerSample == 1)
            bytes[qsizetype(i)] = char(level);
        else
            qToLittleEndian<quint16>(level, bytes.data() + 2 * i);
    }
    return bytes;
}

bool writeFile(const QString& path, const Case& c)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    bool written = file.write(header(c)) == kHeaderBytes;
    for (int frame = 0; frame < kFrames && written; ++frame) {
        const QByteArray bytes = skyFrame(c, frame);
        written = file.write(bytes) == bytes.size();
    }
    return written;
}

template <typename Stage>
bool timed(double& sumMs, Stage&& stage)
{
    const auto start = std::chrono::steady_clock::now();
    const bool done = stage();
    sumMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return done;
}

bool renderAll(const QString& path, StageTimes& times)
{
    SerReader reader;
    QString error;
    if (!reader.open(path, &error)) {
        std::fprintf(stderr, "cannot open %s: %s\n", qPrintable(path), qPrintable(error));
        return false;
    }
    SerFrameRenderer renderer;
    QByteArray jpeg;
    for (int frame = 0; frame < reader.frameCount(); ++frame) {
        if (!timed(times.read, [&] { return renderer.readFrame(reader, frame); }) ||
            !timed(times.render, [&] { return renderer.renderPicture(reader); }) || !timed(times.encode, [&] {
                return encodePictureJpeg(renderer.picture(), SerFrameRenderer::kJpegQuality, jpeg);
            })) {
            std::fprintf(stderr, "frame %d failed\n", frame);
            return false;
        }
    }
    return true;
}

// Seconds that ffmpeg takes to encode the file as MJPEG; negative when it fails.
double ffmpegSeconds(const QString& path)
{
    QProcess ffmpeg;
    ffmpeg.setProgram(QStringLiteral("ffmpeg"));
    ffmpeg.setArguments(
        {QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-threads"),
            QStringLiteral("2"), QStringLiteral("-i"), path, QStringLiteral("-f"), QStringLiteral("mjpeg"),
            QStringLiteral("-q:v"), QStringLiteral("3"), QStringLiteral("-y"), QStringLiteral("/dev/null")});
    QElapsedTimer clock;
    clock.start();
    ffmpeg.start();
    if (!ffmpeg.waitForFinished(kFfmpegTimeoutMs) || ffmpeg.exitStatus() != QProcess::NormalExit ||
        ffmpeg.exitCode() != 0) {
        std::fprintf(stderr, "ffmpeg failed: %s\n", ffmpeg.readAllStandardError().constData());
        return -1;
    }
    return double(clock.nsecsElapsed()) / 1e9;
}

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir directory;
    if (!directory.isValid())
        return 1;
    const Case cases[] = {{1920, 1080, 16, 8}, {1280, 1024, 8, 0}};
    for (const Case& c : cases) {
        const QString path = directory.filePath(QStringLiteral("sky.ser"));
        StageTimes times;
        if (!writeFile(path, c) || !renderAll(path, times))
            return 1;
        const double perFrame = times.total() / kFrames;
        const double fps = 1000.0 / perFrame;
        std::printf("ser w=%d h=%d depth=%d color=%d frames=%d fps=%.1f ms_per_frame=%.1f read_ms=%.1f render_ms=%.1f "
                    "encode_ms=%.1f\n",
            c.width, c.height, c.depth, c.colorId, kFrames, fps, perFrame, times.read / kFrames, times.render / kFrames,
            times.encode / kFrames);
        const double seconds = ffmpegSeconds(path);
        if (seconds > 0) {
            const double ffmpegFps = kFrames / seconds;
            std::printf("ffmpeg_fps=%.1f ratio=%.2f\n", ffmpegFps, fps / ffmpegFps);
        }
        std::fflush(stdout);
        QFile::remove(path);
    }
    return 0;
}
