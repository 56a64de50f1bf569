// SPDX-License-Identifier: GPL-3.0-or-later
// The per-picture work of the live client: decode, stretch, publish, analyse.
#include "live/Client.h"

#include "live/FrameDecoding.h"
#include "live/CameraJpegPicture.h"
#include "live/FrameRendering.h"
#include "live/Histogram.h"
#include "live/StretchedJpegWriter.h"
#include "stretch/RenderedPicture.h"

#include <optional>
#include <string>

namespace {

constexpr auto kAnalysisInterval = std::chrono::milliseconds(100);

}  // namespace

void Client::processPicture(const Picture& picture)
{
    if (picture.bytes.isEmpty())
        return;
    formatInWork = picture.format;
    arrivalInWork = picture.arrival;
    const PictureFormatName format = classifyPictureFormat(picture.format);
    QString error;
    if (format.format == PictureFormat::Jpeg) {
        // Only whole JPEGs go on, stretched or as they came.
        QByteArray jpeg;
        if (wholeJpeg(format, picture.bytes, jpeg, error))
            processJpeg(jpeg);
        else
            reportUnshowable(picture.format, error);
    } else if (format.format == PictureFormat::Unknown) {
        reportUnshowable(picture.format, QStringLiteral("the live feed shows JPEG, FITS and raw video frames only"));
    } else {
        CameraFrame frame;
        if (decodeCameraPicture(
                format, picture.bytes.constData(), picture.bytes.size(), picture.geometry, frame, error))
            processFrame(picture.format, frame);
        else if (!pictureWorkCancelled())
            reportUnshowable(picture.format, error);
    }
}

void Client::processJpeg(const QByteArray& bytes)
{
    shownPicture = {formatInWork, arrivalInWork, CameraFrame(), bytes};
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
    const auto length = static_cast<int>(bytes.size());
    bool stretchActive = false;
    {
        std::lock_guard<std::mutex> lock(frameMutex);
        stretchActive = stretch.stretchActive();
    }
    auto cameraPicture = std::make_shared<const CameraJpegPicture>(bytes);
    const std::int32_t width = cameraPicture->width();
    const std::int32_t height = cameraPicture->height();
    PictureBuffer& picture = unsharedStretchedPicture();
    QByteArray stretched;
    const int quality = fullSizeWatched(width) ? kStretchedJpegQuality : StretchedJpegWriter::kStretchOnly;
    const bool rendered = stretchActive && renderStretchedJpeg(data, length, picture, quality, stretched);
    if (rendered)
        publishPicture(std::make_shared<const RenderedPicture>(picture, kStretchedJpegQuality), stretched);
    else
        publishPicture(std::move(cameraPicture), bytes);
    pictureShown(width, height);

    const auto now = std::chrono::steady_clock::now();
    if (!analysisDue(now))
        return;
    lastAnalysisTime = now;
    // A stretched picture has refreshed the analysis frame already.
    const QByteArray jpeg = rendered ? QByteArray() : bytes;
    analysisWorker.submit([this, jpeg] {
        refreshAnalysisFrame(jpeg);
        analyse();
    });
}

void Client::processFrame(const std::string& format, const CameraFrame& frame)
{
    shownPicture = {formatInWork, arrivalInWork, frame, QByteArray()};
    std::optional<StretchParams> params;
    {
        std::lock_guard<std::mutex> lock(frameMutex);
        if (stretch.stretchActive())
            params = stretch.params();
        latestFrame = frame;
    }
    PictureBuffer& picture = unsharedStretchedPicture();
    QByteArray jpeg;
    const StretchParams* shownStretch = params ? &*params : nullptr;
    // Encoded while rendered only for a viewer at full size; the publisher
    // makes each size, this one too, when a viewer first needs it.
    const bool rendered = fullSizeWatched(frame.width)
        ? renderFrameJpeg(frame, shownStretch, picture, kStretchedJpegQuality, jpeg)
        : renderFramePicture(frame, shownStretch, picture);
    if (!rendered) {
        reportUnshowable(format,
            QStringLiteral("its %1 x %2 picture could not be rendered or encoded").arg(frame.width).arg(frame.height));
        return;
    }
    if (pictureWorkCancelled())
        return;
    publishPicture(std::make_shared<const RenderedPicture>(picture, kStretchedJpegQuality), jpeg);
    pictureShown(frame.width, frame.height);

    const auto now = std::chrono::steady_clock::now();
    if (!analysisDue(now))
        return;
    lastAnalysisTime = now;
    // Shown without a set stretch, a deeper frame's picture is what the
    // analysis reads: its planes spare the analysis a second render.
    QByteArray shownPlanes;
    if (!params && frame.pixelType != PixelType::UInt8)
        planesOfPicture(picture, shownPlanes);
    analysisWorker.submit([this, frame, shownPlanes] {
        refreshAnalysisFrame(frame, shownPlanes);
        analyse();
    });
}

void Client::reportUnshowable(const std::string& format, const QString& reason)
{
    if (!reportedFormats.insert(format).second)
        return;
    logLine(QStringLiteral("cannot show \"%1\" pictures from \"%2\": %3")
                .arg(QString::fromStdString(format), deviceName, reason));
}

bool Client::decodeAnalysisFrame(
    const unsigned char* bytes, int length, AnalysisFrame& frame, const RowsDecoded& rowsDecoded) const
{
    return decodeJpegPlanar(bytes, static_cast<unsigned long>(length), frame.pixels, frame.width, frame.height,
               frame.channels, &callbackGate_->cancelling, rowsDecoded) &&
        !pictureWorkCancelled();
}

bool Client::renderStretchedJpeg(
    const unsigned char* bytes, int length, PictureBuffer& picture, int quality, QByteArray& jpeg)
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
            prepareOutputImage(picture, rows.width, rows.height, rows.channels);
            if (picture.isNull())
                return;
            writer.emplace(params, rows, picture, quality);
        }
        writer->rowsDecoded(rows.firstRow + rows.rowCount);
    };
    if (!decodeAnalysisFrame(bytes, length, frame, writeRows) || !writer)
        return false;
    storeAnalysisFrame(frame);
    return writer->finish(jpeg) && !pictureWorkCancelled();
}

void Client::storeAnalysisFrame(AnalysisFrame frame)
{
    // Shared, not copied: the frames are only ever replaced whole.
    const CameraFrame samples{frame.pixels, frame.width, frame.height, frame.channels, PixelType::UInt8};
    std::lock_guard<std::mutex> lock(frameMutex);
    analysisFrame = std::move(frame);
    latestFrame = samples;
}

bool Client::analysisDue(std::chrono::steady_clock::time_point now) const
{
    return now - lastAnalysisTime >= kAnalysisInterval;
}

void Client::refreshAnalysisFrame(const QByteArray& jpeg)
{
    AnalysisFrame frame;
    if (jpeg.isEmpty() ||
        !decodeAnalysisFrame(
            reinterpret_cast<const unsigned char*>(jpeg.constData()), static_cast<int>(jpeg.size()), frame))
        return;
    storeAnalysisFrame(std::move(frame));
}

void Client::refreshAnalysisFrame(const CameraFrame& frame, const QByteArray& shownPlanes)
{
    AnalysisFrame planes{shownPlanes, frame.width, frame.height, frame.channels};
    if (pictureWorkCancelled() || (planes.pixels.isEmpty() && !analysisPlanes(frame, planes.pixels)))
        return;
    std::lock_guard<std::mutex> lock(frameMutex);
    analysisFrame = std::move(planes);
}

void Client::analyse()
{
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

void Client::publishPicture(std::shared_ptr<const quelmor::ScalablePicture> picture, const QByteArray& jpeg)
{
    streamer.publish(kPicturePath, std::move(picture), jpeg.toStdString());
}

bool Client::fullSizeWatched(std::int32_t width) const
{
    return streamer.watchedAtFullSize(kPicturePath, width);
}

PictureBuffer& Client::unsharedStretchedPicture()
{
    for (PictureBuffer& picture : stretchedPictures) {
        if (picture.isNull() || picture.isWritable())
            return picture;
    }
    // Both are still being sent (or borrow a frame's samples): a fresh one.
    stretchedPictures.front() = PictureBuffer();
    return stretchedPictures.front();
}
