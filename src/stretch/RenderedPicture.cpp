// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/RenderedPicture.h"

#include "stretch/JpegEncoding.h"
#include "stretch/PictureReduction.h"

#include <QByteArray>

#include <algorithm>
#include <new>
#include <utility>

RenderedPicture::RenderedPicture(PictureBuffer picture, int quality) : picture_(std::move(picture)), quality_(quality)
{
}

std::int32_t RenderedPicture::width() const
{
    return picture_.width();
}

std::int32_t RenderedPicture::height() const
{
    return picture_.height();
}

std::string RenderedPicture::encode(int factor) const
{
    if (std::find(kFactors.begin(), kFactors.end(), factor) == kFactors.end())
        return {};
    QByteArray jpeg;
    if (!encodePictureJpeg(factor == 1 ? picture_ : reducePicture(picture_, factor), quality_, jpeg))
        return {};
    try {
        return jpeg.toStdString();
    } catch (const std::bad_alloc&) {
        return {};
    }
}
