#pragma once

#include <QByteArray>
#include <QImage>

// Fast PNG for screenshots: every row with the Sub filter, fastest deflate level, and the rows
// compressed in parallel strips that join into one zlib stream (flushed to a byte boundary
// between strips, checksums combined). Opaque 8-bit RGB; any QImage is accepted.
namespace PngEncoder {

QByteArray Encode(const QImage& _image, int _nStrips = 2);

} // namespace PngEncoder
