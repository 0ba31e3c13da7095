#include "snap/PngEncoder.h"

#include <QtEndian>

#include <thread>
#include <vector>
#include <zlib.h>

namespace {

struct Strip
{
    int firstRow = 0;
    int endRow = 0;
    QByteArray deflated;
    uLong adler = 0;
    uLong rawBytes = 0;
    bool ok = false;
};

// Rows [first, end) as PNG scanlines: the filter byte 1 (Sub), then each byte minus the byte of
// the pixel to its left.
QByteArray FilteredRows(const QImage& _image, int _nFirst, int _nEnd)
{
    const int width = _image.width();
    const int stride = 1 + 3 * width;
    QByteArray raw(stride * (_nEnd - _nFirst), Qt::Uninitialized);
    uchar* out = reinterpret_cast<uchar*>(raw.data());
    for (int y = _nFirst; y < _nEnd; ++y, out += stride) {
        const QRgb* in = reinterpret_cast<const QRgb*>(_image.constScanLine(y));
        out[0] = 1;
        uchar r0 = 0, g0 = 0, b0 = 0;
        for (int x = 0; x < width; ++x) {
            const uchar r = uchar(qRed(in[x])), g = uchar(qGreen(in[x])), b = uchar(qBlue(in[x]));
            out[1 + 3 * x] = uchar(r - r0);
            out[2 + 3 * x] = uchar(g - g0);
            out[3 + 3 * x] = uchar(b - b0);
            r0 = r;
            g0 = g;
            b0 = b;
        }
    }
    return raw;
}

// Raw deflate of one strip; all but the last end with a sync flush so the strips concatenate.
void CompressStrip(const QImage& _image, Strip& _strip, bool _blLast)
{
    const QByteArray raw = FilteredRows(_image, _strip.firstRow, _strip.endRow);
    _strip.rawBytes = uLong(raw.size());
    _strip.adler =
        adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(raw.constData()), uInt(raw.size()));
    z_stream zs{};
    if (deflateInit2(&zs, Z_BEST_SPEED, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return;
    _strip.deflated.resize(int(deflateBound(&zs, uLong(raw.size())) + 16));
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.constData()));
    zs.avail_in = uInt(raw.size());
    zs.next_out = reinterpret_cast<Bytef*>(_strip.deflated.data());
    zs.avail_out = uInt(_strip.deflated.size());
    const int rc = deflate(&zs, _blLast ? Z_FINISH : Z_SYNC_FLUSH);
    _strip.ok = _blLast ? rc == Z_STREAM_END : (rc == Z_OK && zs.avail_in == 0);
    _strip.deflated.resize(int(zs.total_out));
    deflateEnd(&zs);
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
    qToBigEndian<quint32>(
        quint32(crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(_baPng.constData() + typeAt),
                      uInt(_baPng.size() - typeAt))),
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

QByteArray Encode(const QImage& _image, int _nStrips)
{
    if (_image.isNull())
        return QByteArray();
    const QImage image = _image.format() == QImage::Format_RGB32 || _image.format() == QImage::Format_ARGB32
                             ? _image
                             : _image.convertToFormat(QImage::Format_RGB32);
    const int strips = qBound(1, _nStrips, qMax(1, image.height()));
    std::vector<Strip> parts(static_cast<size_t>(strips));
    for (int i = 0; i < strips; ++i) {
        parts[size_t(i)].firstRow = image.height() * i / strips;
        parts[size_t(i)].endRow = image.height() * (i + 1) / strips;
    }
    std::vector<std::thread> helpers;
    for (int i = 1; i < strips; ++i)
        helpers.emplace_back(CompressStrip, std::cref(image), std::ref(parts[size_t(i)]), i == strips - 1);
    CompressStrip(image, parts[0], strips == 1);
    for (std::thread& helper : helpers)
        helper.join();

    QByteArray idat("\x78\x01", 2); // zlib header: deflate, 32 KiB window, fastest level
    uLong adler = parts[0].adler;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!parts[i].ok)
            return QByteArray();
        if (i > 0)
            adler = adler32_combine(adler, parts[i].adler, z_off_t(parts[i].rawBytes));
        idat.append(parts[i].deflated);
    }
    uchar check[4];
    qToBigEndian<quint32>(quint32(adler), check);
    idat.append(reinterpret_cast<const char*>(check), 4);

    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    AppendChunk(png, "IHDR", Header(image));
    AppendChunk(png, "IDAT", idat);
    AppendChunk(png, "IEND", QByteArray());
    return png;
}

} // namespace PngEncoder
