#include "snap/SnapEncoder.h"

#include "snap/SnapFileStore.h"

#include <QBuffer>
#include <QDebug>
#include <QImageWriter>

#include <ctime>

namespace SnapEncoder {

QByteArray EncodePng(const QImage& _image)
{
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    writer.write(_image);
    return png;
}

Result EncodeAndStore(const QImage& _image)
{
    Result result;
    const QByteArray png = EncodePng(_image);
    if (png.isEmpty())
        return result;
    // The file holds the very bytes of the answer: one encoding, not two.
    qDebug() << "begin save to file:" << clock();
    const SnapFileStore::Result stored = SnapFileStore::Save(png);
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
