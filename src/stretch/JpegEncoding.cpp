// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/JpegEncoding.h"

#include "stretch/JpegRowEncoder.h"

bool encodePictureJpeg(const PictureBuffer& picture, int quality, QByteArray& jpeg)
{
    JpegRowEncoder encoder;
    return encoder.start(picture, quality) && encoder.writeRows(picture.height()) && encoder.finish(jpeg);
}
