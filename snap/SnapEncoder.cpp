#include "snap/SnapEncoder.h"
#include "core/LogCategories.h"

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

Picture Encode(const QImage& _image)
{
    Picture picture;
    picture.png = EncodePng(_image);
    if (picture.png.isEmpty())
        return picture;
    qCDebug(lcSnap) << "begin save to base64:" << clock();
    picture.pngBase64 = picture.png.toBase64();
    qCDebug(lcSnap) << "end save to base64:" << clock();
    return picture;
}

Result Store(const Picture& _picture)
{
    Result result;
    if (_picture.png.isEmpty())
        return result;
    // The file holds the very bytes of the answer: one encoding, not two.
    qCDebug(lcSnap) << "begin save to file:" << clock();
    const SnapFileStore::Result stored =
        SnapFileStore::Save(_picture.png, Config::Instance().GetSnapKeepBytes());
    qCDebug(lcSnap) << "end save to file:" << clock();
    if (!stored.ok)
        return result;
    result.pathBase64 = QString::fromLatin1(stored.path.toUtf8().toBase64());
    result.imageBase64 = _picture.pngBase64;
    result.ok = true;
    return result;
}

Result EncodeAndStore(const QImage& _image)
{
    return Store(Encode(_image));
}

} // namespace SnapEncoder
