#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// The slow half of a capture, safe on any thread: PNG encoding, the file, the Base64 texts.
namespace SnapEncoder {

// A grab's picture, encoded once however many requests share it.
struct Picture
{
    QByteArray png;
    QByteArray pngBase64; // Base64 (ASCII) of png
};

struct Result
{
    bool ok = false;
    QString pathBase64;     // Base64 of the saved file's UTF-8 path
    QByteArray imageBase64; // Base64 (ASCII) of the PNG bytes
};

QByteArray EncodePng(const QImage& _image);
// Empty fields when the image cannot be encoded.
Picture Encode(const QImage& _image);
// Writes the picture to a new file of its own.
Result Store(const Picture& _picture);
Result EncodeAndStore(const QImage& _image);

} // namespace SnapEncoder
