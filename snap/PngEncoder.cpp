#include "snap/PngEncoder.h"

#include <QtEndian>

#include <libdeflate.h>
#include <memory>

namespace {

constexpr int kLevel = 1;

// One row as a PNG scanline: the filter byte 1 (Sub), then each byte minus the byte of the
// pixel to its left.
void FilterRow(const QRgb* _pIn, int _nWidth, uchar* _pOut)
{
    _pOut[0] = 1;
    uchar r0 = 0, g0 = 0, b0 = 0;
    for (int x = 0; x < _nWidth; ++x) {
        const uchar r = uchar(qRed(_pIn[x])), g = uchar(qGreen(_pIn[x])), b = uchar(qBlue(_pIn[x]));
        _pOut[1 + 3 * x] = uchar(r - r0);
        _pOut[2 + 3 * x] = uchar(g - g0);
        _pOut[3 + 3 * x] = uchar(b - b0);
        r0 = r;
        g0 = g;
        b0 = b;
    }
}

// The zlib stream of all filtered rows; empty on failure.
QByteArray CompressedRows(const QImage& _image)
{
    const size_t stride = 1 + 3 * size_t(_image.width());
    QByteArray raw(int(stride * size_t(_image.height())), Qt::Uninitialized);
    for (int y = 0; y < _image.height(); ++y)
        FilterRow(reinterpret_cast<const QRgb*>(_image.constScanLine(y)), _image.width(),
                  reinterpret_cast<uchar*>(raw.data()) + stride * size_t(y));
    std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> compressor(
        libdeflate_alloc_compressor(kLevel), &libdeflate_free_compressor);
    if (!compressor)
        return QByteArray();
    QByteArray zlib(int(libdeflate_zlib_compress_bound(compressor.get(), size_t(raw.size()))),
                    Qt::Uninitialized);
    const size_t size = libdeflate_zlib_compress(compressor.get(), raw.constData(), size_t(raw.size()),
                                                 zlib.data(), size_t(zlib.size()));
    zlib.resize(int(size));
    return zlib;
}

void AppendChunk(QByteArray& _baPng, const char* _szType, const QByteArray& _baData)
{
    uchar length[4];
    qToBigEndian<quint32>(quint32(_baData.size()), length);
    _baPng.append(reinterpret_cast<const char*>(length), 4);
    const int typeAt = _baPng.size();
    _baPng.append(_szType, 4);
    _baPng.append(_baData);
    uchar crc[4];
    qToBigEndian<quint32>(libdeflate_crc32(0, _baPng.constData() + typeAt, size_t(_baPng.size() - typeAt)),
                          crc);
    _baPng.append(reinterpret_cast<const char*>(crc), 4);
}

QByteArray Header(const QImage& _image)
{
    QByteArray ihdr(13, '\0');
    qToBigEndian<quint32>(quint32(_image.width()), ihdr.data());
    qToBigEndian<quint32>(quint32(_image.height()), ihdr.data() + 4);
    ihdr[8] = 8; // bits per channel
    ihdr[9] = 2; // truecolour RGB; compression, filter method and interlace stay 0
    return ihdr;
}

} // namespace

namespace PngEncoder {

QByteArray Encode(const QImage& _image)
{
    if (_image.isNull())
        return QByteArray();
    const QImage image = _image.format() == QImage::Format_RGB32 || _image.format() == QImage::Format_ARGB32
                             ? _image
                             : _image.convertToFormat(QImage::Format_RGB32);
    const QByteArray idat = CompressedRows(image);
    if (idat.isEmpty())
        return QByteArray();
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    png.reserve(idat.size() + 64);
    AppendChunk(png, "IHDR", Header(image));
    AppendChunk(png, "IDAT", idat);
    AppendChunk(png, "IEND", QByteArray());
    return png;
}

} // namespace PngEncoder
