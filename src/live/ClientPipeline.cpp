// SPDX-License-Identifier: GPL-3.0-or-later
// The per-picture work of the live client: publish, stretch, analyse.
#include "live/Client.h"

#include "live/FrameDecoding.h"
#include "live/Histogram.h"
#include "live/StretchedJpegWriter.h"

#include <QImage>

#include <optional>
#include <string>

namespace {

constexpr auto kAnalysisInterval = std::chrono::milliseconds(100);
// How long a server that could not listen waits before the next attempt.
constexpr auto kHttpServerRetryInterval = std::chrono::seconds(1);
// The quality Qt's image writer gave stretched pictures when none was named.
constexpr int kStretchedJpegQuality = 75;

// Whether `image` is what makeOutputImage gives for this geometry.
bool fitsOutputImage(const QImage& image, std::int32_t width, std::int32_t height, std::int32_t channels)
{
    const QImage::Format format = channels == 1 ? QImage::Format_Indexed8 : QImage::Format_RGB32;
    return image.width() == width && image.height() == height && image.format() == format;
}

QImage makeOutputImage(std::int32_t width, std::int32_t height, std::int32_t channels)
{
    if (channels != 1)
        return QImage(width, height, QImage::Format_RGB32);
    QImage image(width, height, QImage::Format_Indexed8);
    QVector<QRgb> greyRamp(256);
    for (int i = 0; i < 256; ++i)
        greyRamp[i] = 0xFF000000u | static_cast<QRgb>(i) * 0x010101u;
    image.setColorTable(greyRamp);
    return image;
}

}  // namespace

void Client::processPicture(const unsigned char* bytes, int length)
{
    if (bytes == nullptr || length <= 0)
        return;
    bool stretchActive = false;
    {
        std::lock_guard<std::mutex> lock(frameMutex);
        stretchActive = stretch.stretchActive();
    }
    retryHttpServerIfDue(std::chrono::steady_clock::now());

    QByteArray stretched;
    const bool rendered = stretchActive && renderStretchedJpeg(bytes, length, stretched);
    if (rendered)
        publish(kPicturePath, stretched.constData(), static_cast<std::size_t>(stretched.size()));
    else
        publish(kPicturePath, reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));

    const auto now = std::chrono::steady_clock::now();
    if (!analysisDue(now))
        return;
    lastAnalysisTime = now;
    // A stretched picture has refreshed the analysis frame already; other
    // bytes are the library's only until the handler returns.
    QByteArray jpeg;
    if (!rendered)
        jpeg = QByteArray(reinterpret_cast<const char*>(bytes), length);
    analysisWorker.submit([this, jpeg = std::move(jpeg)] { runAnalysisPass(jpeg); });
}

bool Client::decodeAnalysisFrame(
    const unsigned char* bytes, int length, AnalysisFrame& frame, const RowsDecoded& rowsDecoded) const
{
    return decodeJpegPlanar(bytes, static_cast<unsigned long>(length), frame.pixels, frame.width, frame.height,
               frame.channels, &callbackGate_->cancelling, rowsDecoded) &&
        !pictureWorkCancelled();
}

bool Client::renderStretchedJpeg(const unsigned char* bytes, int length, QByteArray& jpeg)
{
    StretchParams params;
    {
        std::lock_guard<std::mutex> lock(frameMutex);
        params = stretch.params();
    }
    AnalysisFrame frame;
    // After the frame, so that it is gone, with its task waited for, before the frame's planes.
    std::optional<StretchedJpegWriter> writer;
    const auto writeRows = [&](const DecodedRows& rows) {
        if (!writer) {
            if (!fitsOutputImage(stretchedPicture, rows.width, rows.height, rows.channels))
                stretchedPicture = makeOutputImage(rows.width, rows.height, rows.channels);
            writer.emplace(params, rows, &stretchedPicture, kStretchedJpegQuality);
        }
        writer->rowsDecoded(rows.firstRow + rows.rowCount);
    };
    if (!decodeAnalysisFrame(bytes, length, frame, writeRows) || !writer)
        return false;
    {
        std::lock_guard<std::mutex> lock(frameMutex);
        // Shared, not copied: the analysis frame is only ever replaced whole.
        analysisFrame = frame;
    }
    return writer->finish(jpeg) && !pictureWorkCancelled();
}

void Client::retryHttpServerIfDue(std::chrono::steady_clock::time_point now)
{
    if (httpServerFailed && now - lastHttpServerAttempt >= kHttpServerRetryInterval)
        startHttpServer();
}

bool Client::analysisDue(std::chrono::steady_clock::time_point now) const
{
    return now - lastAnalysisTime >= kAnalysisInterval;
}

void Client::refreshAnalysisFrame(const unsigned char* bytes, int length)
{
    AnalysisFrame frame;
    if (!decodeAnalysisFrame(bytes, length, frame))
        return;
    std::lock_guard<std::mutex> lock(frameMutex);
    analysisFrame = std::move(frame);
}

void Client::runAnalysisPass(const QByteArray& jpeg)
{
    if (!jpeg.isEmpty())
        refreshAnalysisFrame(reinterpret_cast<const unsigned char*>(jpeg.constData()), static_cast<int>(jpeg.size()));
    const std::optional<AnalysisFrame> frame = copyAnalysisFrame();
    if (!frame || pictureWorkCancelled())
        return;
    QByteArray histogram;
    if (renderHistogram(frame->pixels, frame->width, frame->height, frame->channels, histogram))
        publish(kHistogramPath, histogram.constData(), static_cast<std::size_t>(histogram.size()));

    const std::optional<double> sharpness =
        measureSharpness(frame->pixels, frame->width, frame->height, frame->channels);
    if (!sharpness)
        return;
    std::lock_guard<std::mutex> lock(frameMutex);
    focusHistory.record(*sharpness);
}

bool Client::pictureWorkCancelled() const
{
    return callbackGate_->cancelling.load(std::memory_order_relaxed);
}

void Client::publish(const char* path, const char* bytes, std::size_t length)
{
    streamer.publish(path, std::string(bytes, length));
}
