#include "notices/ToastPlacement.h"

float ToastPlacement::Scale(int _nScreenHeight)
{
    return static_cast<float>(_nScreenHeight / 1080.0);
}

QSize ToastPlacement::Size(float _fScale)
{
    return QSize(static_cast<int>(_fScale * kDesignWidth), static_cast<int>(_fScale * kDesignHeight));
}

std::optional<QPoint> ToastPlacement::TopLeft(const QString& _qstrPosition, const QRect& _rcAvailable,
                                              const QSize& _size)
{
    const QRect& r = _rcAvailable;
    const int w = _size.width();
    const int h = _size.height();
    // The centred spots and "middle-left" measure from 0, not from the area's own edge.
    const int centreX = r.width() / 2 - w / 2;
    const int middleY = r.height() / 2 - h / 2;
    if (_qstrPosition == QLatin1String("top-left"))
        return QPoint(r.left(), r.top());
    if (_qstrPosition == QLatin1String("top"))
        return QPoint(centreX, 0);
    if (_qstrPosition == QLatin1String("top-right"))
        return QPoint(r.right() - w, r.top());
    if (_qstrPosition == QLatin1String("middle-left"))
        return QPoint(0, middleY);
    if (_qstrPosition == QLatin1String("middle"))
        return QPoint(centreX, middleY);
    if (_qstrPosition == QLatin1String("middle-right"))
        return QPoint(r.right() - w, middleY);
    if (_qstrPosition == QLatin1String("bottom-left"))
        return QPoint(r.left(), r.bottom() - h);
    if (_qstrPosition == QLatin1String("bottom"))
        return QPoint(centreX, r.bottom() - h);
    if (_qstrPosition == QLatin1String("bottom-right"))
        return QPoint(r.right() - w, r.bottom() - h);
    return std::nullopt;
}
