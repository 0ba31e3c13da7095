#pragma once

#include <QImage>
#include <QString>

// The slow half of a capture, safe on any thread: PNG encoding, the file, the Base64 texts.
namespace SnapEncoder {

struct Result
{
    bool ok = false;
    QString pathBase64;  // Base64 of the saved file's UTF-8 path
    QString imageBase64; // Base64 of the PNG bytes
};

QByteArray EncodePng(const QImage& _image);
Result EncodeAndStore(const QImage& _image);

} // namespace SnapEncoder
