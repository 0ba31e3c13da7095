#pragma once

#include <QByteArray>
#include <QImage>

// Fast PNG for screenshots: every row with the Sub filter, compressed by libdeflate at its
// fastest level, which beats zlib's fastest level both in time and in size. Opaque 8-bit RGB;
// any QImage is accepted. Empty for a null image.
namespace PngEncoder {

QByteArray Encode(const QImage& _image);

} // namespace PngEncoder
