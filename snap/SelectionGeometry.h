#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <Qt>

#include <array>

// The arithmetic of the selection overlay, apart from painting: the starting rectangle, what a
// point hits, how a drag moves or resizes the selection, where the toolbar goes and which device
// pixels are cropped. Logical pixels throughout, except CropRect.
class SelectionGeometry
{
public:
    enum HitState {
        AnchorLeftTop = 0,
        AnchorMidTop = 1,
        AnchorRightTop = 2,
        AnchorMidLeft = 3,
        AnchorMidRight = 4,
        AnchorLeftBottom = 5,
        AnchorMidBottom = 6,
        AnchorRightBottom = 7,
        SelContent = 8,
        OtherArea = 9,
    };

    static constexpr int kHandleRadius = 10;
    static constexpr int kMinSize = 10;
    static constexpr int kToolBarGap = 10;
    static constexpr int kToolBarRightInset = 5;

    // A new capture: area mode starts with the middle quarter, full-screen mode with nothing.
    void Reset(const QSize& _sizeScreen, bool _blFullScreen);

    QSize ScreenSize() const { return QSize(m_nScreenWidth, m_nScreenHeight); }
    QRect Selection() const { return QRect(m_nSelectX, m_nSelectY, m_nSelectWidth, m_nSelectHeight); }
    HitState State() const { return m_emHitState; }
    bool IsDragging() const { return m_emHitState != OtherArea; }

    static HitState HitTest(const QRect& _rectSel, const QPoint& _pt);
    static Qt::CursorShape CursorFor(HitState _emHit);
    // The eight handle points, in painting order (top row, middle row, bottom row).
    static std::array<QPoint, 8> HandlePoints(const QRect& _rectSel);

    // A press on a handle or inside the selection starts a drag; elsewhere nothing changes.
    HitState Press(const QPoint& _pt);
    // While dragging: moves or resizes the selection and returns true; hovering returns false.
    bool Move(const QPoint& _pt);
    void Release();

    // Top-left corner of a toolbar of this size next to the selection.
    QPoint ToolBarPosition(const QSize& _sizeToolBar) const;
    // What to cut out of a grab with this device pixel ratio (whole screen in full-screen mode).
    QRect CropRect(double _dRatio, bool _blFullScreen) const;

private:
    void Resize(const QPoint& _pt);
    void MoveContent(const QPoint& _pt);

    int m_nScreenWidth = 0;
    int m_nScreenHeight = 0;
    int m_nSelectX = 0;
    int m_nSelectY = 0;
    int m_nSelectWidth = 0;
    int m_nSelectHeight = 0;
    QPoint m_ptPress;
    QRect m_rectPress;
    HitState m_emHitState = OtherArea;
};
