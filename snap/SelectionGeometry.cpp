#include "snap/SelectionGeometry.h"
#include "core/LogCategories.h"

#include <QDebug>

#include <algorithm>

namespace {

const char* HitName(SelectionGeometry::HitState _emHit)
{
    static const char* const kNames[] = {
        "AnchorLeftTop",    "AnchorMidTop",    "AnchorRightTop",    "AnchorMidLeft", "AnchorMidRight",
        "AnchorLeftBottom", "AnchorMidBottom", "AnchorRightBottom", "SelContent",    "OtherArea"};
    return kNames[_emHit];
}

// A handle owns the 20 x 20 square around its point: x - 10 to x + 9, y - 10 to y + 9.
bool OnHandle(const QPoint& _ptHandle, const QPoint& _pt)
{
    const int r = SelectionGeometry::kHandleRadius;
    return QRect(_ptHandle.x() - r, _ptHandle.y() - r, 2 * r, 2 * r).contains(_pt);
}

} // namespace

void SelectionGeometry::Reset(const QSize& _sizeScreen, bool _blFullScreen)
{
    m_nScreenWidth = _sizeScreen.width();
    m_nScreenHeight = _sizeScreen.height();
    if (_blFullScreen) {
        m_nSelectX = m_nSelectY = m_nSelectWidth = m_nSelectHeight = 0;
    } else {
        m_nSelectX = m_nScreenWidth / 4;
        m_nSelectY = m_nScreenHeight / 4;
        m_nSelectWidth = m_nScreenWidth / 2;
        m_nSelectHeight = m_nScreenHeight / 2;
    }
    Release();
}

SelectionGeometry::HitState SelectionGeometry::HitTest(const QRect& _rectSel, const QPoint& _pt)
{
    const QPoint centre = _rectSel.center();
    const std::pair<HitState, QPoint> handles[] = {
        {AnchorLeftTop, _rectSel.topLeft()},
        {AnchorRightTop, _rectSel.topRight()},
        {AnchorLeftBottom, _rectSel.bottomLeft()},
        {AnchorRightBottom, _rectSel.bottomRight()},
        {AnchorMidTop, QPoint(centre.x(), _rectSel.top())},
        {AnchorMidBottom, QPoint(centre.x(), _rectSel.bottom())},
        {AnchorMidLeft, QPoint(_rectSel.left(), centre.y())},
        {AnchorMidRight, QPoint(_rectSel.right(), centre.y())},
    };
    HitState hit = _rectSel.contains(_pt) ? SelContent : OtherArea;
    for (const auto& handle : handles)
        if (OnHandle(handle.second, _pt)) {
            hit = handle.first;
            break;
        }
    qCDebug(lcSnap) << "HitTest:" << _pt.x() << _pt.y() << HitName(hit) << "in ";
    return hit;
}

Qt::CursorShape SelectionGeometry::CursorFor(HitState _emHit)
{
    switch (_emHit) {
    case AnchorLeftTop:
    case AnchorRightBottom:
        return Qt::SizeFDiagCursor;
    case AnchorRightTop:
    case AnchorLeftBottom:
        return Qt::SizeBDiagCursor;
    case AnchorMidTop:
    case AnchorMidBottom:
        return Qt::SizeVerCursor;
    case AnchorMidLeft:
    case AnchorMidRight:
        return Qt::SizeHorCursor;
    case SelContent:
        return Qt::SizeAllCursor;
    case OtherArea:
        break;
    }
    return Qt::ArrowCursor;
}

std::array<QPoint, 8> SelectionGeometry::HandlePoints(const QRect& _rectSel)
{
    const QPoint c = _rectSel.center();
    return {_rectSel.topLeft(),
            QPoint(c.x(), _rectSel.top()),
            _rectSel.topRight(),
            QPoint(_rectSel.left(), c.y()),
            QPoint(_rectSel.right(), c.y()),
            _rectSel.bottomLeft(),
            QPoint(c.x(), _rectSel.bottom()),
            _rectSel.bottomRight()};
}

SelectionGeometry::HitState SelectionGeometry::Press(const QPoint& _pt)
{
    m_emHitState = HitTest(Selection(), _pt);
    if (m_emHitState != OtherArea) {
        m_ptPress = _pt;
        m_rectPress = Selection();
    }
    return m_emHitState;
}

bool SelectionGeometry::Move(const QPoint& _pt)
{
    if (m_emHitState == OtherArea)
        return false;
    const QPoint pt(std::clamp(_pt.x(), 0, m_nScreenWidth), std::clamp(_pt.y(), 0, m_nScreenHeight));
    if (m_emHitState == SelContent)
        MoveContent(pt);
    else
        Resize(pt);
    return true;
}

void SelectionGeometry::MoveContent(const QPoint& _pt)
{
    m_nSelectX = std::max(0, m_rectPress.x() + _pt.x() - m_ptPress.x());
    m_nSelectY = std::max(0, m_rectPress.y() + _pt.y() - m_ptPress.y());
    if (m_nSelectX > m_nScreenWidth - m_nSelectWidth) {
        m_nSelectX = m_nScreenWidth - m_nSelectWidth;
        qCDebug(lcSnap) << "m_nSelectX:" << m_nSelectX << " m_nScreenWidth:" << m_nScreenWidth
                        << " m_nSelectWidth:" << m_nSelectWidth;
    }
    if (m_nSelectY > m_nScreenHeight - m_nSelectHeight) {
        m_nSelectY = m_nScreenHeight - m_nSelectHeight;
        qCDebug(lcSnap) << "m_nSelectY:" << m_nSelectY << " m_nScreenHeight:" << m_nScreenHeight
                        << " m_nSelectHeight:" << m_nSelectHeight;
    }
}

void SelectionGeometry::Resize(const QPoint& _pt)
{
    const QRect& r = m_rectPress;
    const int dx = _pt.x() - m_ptPress.x();
    const int dy = _pt.y() - m_ptPress.y();
    const HitState hit = m_emHitState;
    const bool movesLeft = hit == AnchorLeftTop || hit == AnchorMidLeft || hit == AnchorLeftBottom;
    const bool movesTop = hit == AnchorLeftTop || hit == AnchorMidTop || hit == AnchorRightTop;
    const bool movesRight = hit == AnchorRightTop || hit == AnchorMidRight || hit == AnchorRightBottom;
    const bool movesBottom = hit == AnchorLeftBottom || hit == AnchorMidBottom || hit == AnchorRightBottom;
    if (movesLeft) {
        m_nSelectX = _pt.x();
        m_nSelectWidth = r.right() - m_nSelectX;
    }
    if (movesTop) {
        m_nSelectY = _pt.y();
        m_nSelectHeight = r.bottom() - m_nSelectY;
    }
    if (movesRight)
        m_nSelectWidth = r.width() + dx;
    if (movesBottom)
        m_nSelectHeight = r.height() + dy;
    m_nSelectWidth = std::max(m_nSelectWidth, kMinSize);
    m_nSelectHeight = std::max(m_nSelectHeight, kMinSize);
    // Only a dragged left or top edge can pass the opposite one; checking the others would shift
    // a minimal selection by a pixel on every drag.
    if (movesLeft && r.right() - m_nSelectX < kMinSize)
        m_nSelectX = r.right() - kMinSize;
    if (movesTop && r.bottom() - m_nSelectY < kMinSize)
        m_nSelectY = r.bottom() - kMinSize;
}

void SelectionGeometry::Release()
{
    m_ptPress = QPoint(0, 0);
    m_rectPress = QRect();
    m_emHitState = OtherArea;
}

QPoint SelectionGeometry::ToolBarPosition(const QSize& _sizeToolBar) const
{
    const QRect sel = Selection();
    const int below = _sizeToolBar.height() + kToolBarGap;
    const int top =
        m_nScreenHeight - sel.bottom() < below ? sel.bottom() - below : sel.bottom() + kToolBarGap;
    const int wide = _sizeToolBar.width() + kToolBarRightInset;
    const int left = sel.right() < wide ? 0 : sel.right() - wide;
    return QPoint(left, top);
}

QRect SelectionGeometry::CropRect(double _dRatio, bool _blFullScreen) const
{
    // int() truncates toward zero.
    if (_blFullScreen)
        return QRect(0, 0, int(m_nScreenWidth * _dRatio), int(m_nScreenHeight * _dRatio));
    return QRect(int(m_nSelectX * _dRatio), int(m_nSelectY * _dRatio), int(m_nSelectWidth * _dRatio),
                 int(m_nSelectHeight * _dRatio));
}
