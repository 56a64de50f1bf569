// SPDX-License-Identifier: GPL-3.0-or-later
#include "FitsFiles.h"

#include <QFile>
#include <QTemporaryDir>

#include <fitsio.h>

#include <string>

namespace quelmor::test {

QByteArray fitsFile(const FitsImageContent& image)
{
    QTemporaryDir directory;
    const std::string path = directory.filePath(QStringLiteral("image.fits")).toStdString();
    fitsfile* file = nullptr;
    int status = 0;
    fits_create_file(&file, path.c_str(), &status);
    if (image.compressed)
        fits_set_compression_type(file, RICE_1, &status);
    fits_create_img(file, image.imageType, int(image.axes.size()), const_cast<long*>(image.axes.data()), &status);
    if (image.bayer != nullptr) {
        long offsets[2] = {image.bayerOffsetX, image.bayerOffsetY};
        fits_write_key(file, TSTRING, "BAYERPAT", const_cast<char*>(image.bayer), nullptr, &status);
        fits_write_key(file, TLONG, "XBAYROFF", &offsets[0], nullptr, &status);
        if (offsets[1] != 0)
            fits_write_key(file, TLONG, "YBAYROFF", &offsets[1], nullptr, &status);
    }
    if (image.scale != 1) {
        double scale = image.scale;
        fits_write_key(file, TDOUBLE, "BSCALE", &scale, nullptr, &status);
    }
    // cfitsio compresses only samples of the image's own type.
    std::vector<unsigned short> unsignedShorts(image.values.begin(), image.values.end());
    std::vector<unsigned char> bytes(image.values.begin(), image.values.end());
    std::vector<int> ints(image.values.begin(), image.values.end());
    std::vector<float> floats(image.values.begin(), image.values.end());
    const auto count = LONGLONG(image.values.size());
    if (image.compressed && image.imageType == BYTE_IMG)
        fits_write_img(file, TBYTE, 1, count, bytes.data(), &status);
    else if (image.compressed && image.imageType == LONG_IMG)
        fits_write_img(file, TINT, 1, count, ints.data(), &status);
    else if (image.compressed && image.imageType == FLOAT_IMG)
        fits_write_img(file, TFLOAT, 1, count, floats.data(), &status);
    else if (image.compressed)
        fits_write_img(file, TUSHORT, 1, count, unsignedShorts.data(), &status);
    else
        fits_write_img(
            file, TDOUBLE, 1, LONGLONG(image.values.size()), const_cast<double*>(image.values.data()), &status);
    fits_close_file(file, &status);
    QFile written(QString::fromStdString(path));
    return status == 0 && written.open(QIODevice::ReadOnly) ? written.readAll() : QByteArray();
}

void setCard(QByteArray& fits, const char* key, long value)
{
    const qsizetype card = fits.indexOf(QByteArray(key).leftJustified(8, ' ') + "= ");
    fits.replace(card + 10, 20, QByteArray::number(qlonglong(value)).rightJustified(20, ' '));
}

}  // namespace quelmor::test
