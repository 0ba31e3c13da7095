#include "snap/SnapEncoder.h"

#include "core/Config.h"
#include "snap/PngEncoder.h"
#include "snap/SnapFileStore.h"

#include <QDebug>

#include <ctime>

namespace SnapEncoder {

QByteArray EncodePng(const QImage& _image)
{
    // A screen's worth of pixels at the default level takes most of a second; the fast encoder
    // needs a fraction of that for about the same size.
    return PngEncoder::Encode(_image);
}

Result EncodeAndStore(const QImage& _image)
{
    Result result;
    const QByteArray png = EncodePng(_image);
    if (png.isEmpty())
        return result;
    // The file holds the very bytes of the answer: one encoding, not two.
    qDebug() << "begin save to file:" << clock();
    const SnapFileStore::Result stored = SnapFileStore::Save(png, Config::Instance().GetSnapKeepBytes());
    qDebug() << "end save to file:" << clock();
    if (!stored.ok)
        return result;
    result.pathBase64 = QString::fromLatin1(stored.path.toUtf8().toBase64());
    qDebug() << "begin save to base64:" << clock();
    result.imageBase64 = QString::fromLatin1(png.toBase64());
    qDebug() << "end save to base64:" << clock();
    result.ok = true;
    return result;
}

} // namespace SnapEncoder
