#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <optional>

// Where and how large the toast is drawn: design sizes are pixels at 1080 screen lines, and the
// toast sits at one of nine named spots of the screen's available area.
class ToastPlacement
{
public:
    static constexpr int kDesignWidth = 416;
    static constexpr int kDesignHeight = 148;

    // Screen height / 1080, narrowed to float as the painting uses it.
    static float Scale(int _nScreenHeight);
    static QSize Size(float _fScale);
    // Top-left corner for a position name; nothing for an unknown name (the toast stays put).
    static std::optional<QPoint> TopLeft(const QString& _qstrPosition, const QRect& _rcAvailable,
                                         const QSize& _size);
};
