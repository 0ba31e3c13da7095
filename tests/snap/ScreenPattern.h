#pragma once

// Known screen contents for capture tests and the capture benchmark, computed per pixel so a
// grab can be checked pixel by pixel without a reference file.

#include <QImage>
#include <QString>

#include <cmath>
#include <cstdint>

namespace ScreenPattern {

// Every pixel differs from its neighbours, so an offset of one pixel shows.
inline QRgb Exact(int _nX, int _nY)
{
    return qRgb(_nX % 251, _nY % 241, (_nX * 3 + _nY * 5) % 256);
}

// Smooth colour fields with fine grain, compressing about as badly as a photo.
inline QRgb PhotoLike(int _nX, int _nY)
{
    uint32_t h = static_cast<uint32_t>(_nX) * 374761393u + static_cast<uint32_t>(_nY) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    const int grain = static_cast<int>(h >> 28) - 8;
    const double fx = _nX / 173.0, fy = _nY / 119.0;
    auto channel = [&](double _dPhase) {
        const double v =
            128 + 90 * std::sin(fx + _dPhase) * std::cos(fy - _dPhase) + 30 * std::sin((fx + fy) * 2.3);
        return qBound(0, static_cast<int>(v) + grain, 255);
    };
    return qRgb(channel(0.0), channel(1.7), channel(3.1));
}

inline QImage Make(const QString& _qstrKind, int _nWidth, int _nHeight)
{
    QImage image(_nWidth, _nHeight, QImage::Format_RGB32);
    const bool photo = _qstrKind == QLatin1String("photo");
    for (int y = 0; y < _nHeight; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < _nWidth; ++x)
            line[x] = photo ? PhotoLike(x, y) : Exact(x, y);
    }
    return image;
}

} // namespace ScreenPattern
