#pragma once

#include <QByteArray>
#include <QImage>

#include <cstdint>
#include <vector>

#include "stretch/PixelType.h"
#include "stretch/StretchParams.h"

class SerReader;

// Turns one SER frame into an 8-bit picture: reads it, demosaics Bayer frames
// (bilinear), splits RGB and BGR frames into red, green and blue planes, takes
// every other layout as one grey plane, and stretches it with parameters
// computed from the first frame rendered since the last forgetStretch().
// The buffers and the picture are kept between frames, so a file's frames
// cost no allocation after the first.
//
// The stages are public so that a benchmark can time them; render() runs them
// in order. Thread: the player's (main). Not thread-safe; the stretch spreads
// its rows over QThreadPool::globalInstance() and returns after all of them.
class SerFrameRenderer {
public:
    static constexpr int kJpegQuality = 85;

    SerFrameRenderer() = default;
    Q_DISABLE_COPY_MOVE(SerFrameRenderer)

    // Renders frame `index` of `reader` into picture(). False when the frame
    // cannot be read or demosaiced or the picture cannot be allocated;
    // picture() is then unspecified.
    bool render(SerReader& reader, int index);
    // The last rendered picture: Format_Indexed8 with a grey ramp for grey
    // frames, else Format_RGB32, of the frame's size.
    const QImage& picture() const { return picture_; }

    // The next render computes the stretch again (a new file was opened).
    void forgetStretch() { stretchCached = false; }

    // Stage 1: reads the frame's bytes.
    bool readFrame(SerReader& reader, int index);
    // Stage 2: the read frame as planes of samples (demosaiced when Bayer).
    bool makePlanes(const SerReader& reader);
    // Stage 3: stretches the planes into picture(), made anew only when the
    // frame's size or channels differ from the last one's.
    bool stretchPlanes();

private:
    bool demosaic(const SerReader& reader);
    void deinterleave(const void* interleaved, bool swapRedBlue);

    QByteArray frameBytes;
    // Demosaiced pixels, three interleaved samples each.
    std::vector<std::uint8_t> demosaiced;
    // Red, green and blue planes one after the other, for colour frames.
    std::vector<std::uint8_t> colourPlanes;
    // The stretch input: frameBytes for grey frames, else colourPlanes.
    const void* planes = nullptr;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t channels = 1;
    PixelType pixelType = PixelType::UInt8;

    QImage picture_;

    StretchParams stretch;
    bool stretchCached = false;
};

// The picture as JPEG at SerFrameRenderer::kJpegQuality.
QByteArray encodeJpeg(const QImage& picture);
