#pragma once

#include <QPoint>
#include <QSize>

// Tips windows sit in the bottom-right corner of the whole screen (task bar included), 20 design
// pixels from the right edge and 70 from the bottom.
class TipsPlacement
{
public:
    // Screen height / 1080; design sizes are pixels at 1080 lines.
    static double Scale(int _nScreenHeight);
    static QPoint TopLeft(const QSize& _sizeScreen, const QSize& _sizeWindow);
};
