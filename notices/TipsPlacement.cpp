#include "notices/TipsPlacement.h"

double TipsPlacement::Scale(int _nScreenHeight)
{
    return _nScreenHeight / 1080.0;
}

QPoint TipsPlacement::TopLeft(const QSize& _sizeScreen, const QSize& _sizeWindow)
{
    const double s = Scale(_sizeScreen.height());
    return QPoint(static_cast<int>(_sizeScreen.width() - 20 * s - _sizeWindow.width()),
                  static_cast<int>(_sizeScreen.height() - 70 * s - _sizeWindow.height()));
}
