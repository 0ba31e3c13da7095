// The overlay's arithmetic apart from painting: start rectangle, hit tests, drags with their
// clamps, toolbar placement and the device-pixel crop.
#include "snap/SelectionGeometry.h"

#include <QtTest>

using G = SelectionGeometry;
Q_DECLARE_METATYPE(G::HitState)

namespace {

G AreaOn(int _nWidth, int _nHeight)
{
    G geometry;
    geometry.Reset(QSize(_nWidth, _nHeight), false);
    return geometry;
}

// Press, move through the points, release; the selection afterwards.
QRect Drag(G& _geometry, const QPoint& _ptFrom, const QList<QPoint>& _listTo)
{
    _geometry.Press(_ptFrom);
    for (const QPoint& pt : _listTo)
        _geometry.Move(pt);
    _geometry.Release();
    return _geometry.Selection();
}

} // namespace

class tst_SelectionGeometry : public QObject
{
    Q_OBJECT
private slots:
    void startsWithTheMiddleQuarter_data();
    void startsWithTheMiddleQuarter();
    void hitTest_data();
    void hitTest();
    void drags_data();
    void drags();
    void toolBarPlacement_data();
    void toolBarPlacement();
    void cropIsInDevicePixels_data();
    void cropIsInDevicePixels();
};

void tst_SelectionGeometry::startsWithTheMiddleQuarter_data()
{
    QTest::addColumn<QSize>("screen");
    QTest::addColumn<bool>("fullScreen");
    QTest::addColumn<QRect>("selection");
    QTest::newRow("1920x1080 area") << QSize(1920, 1080) << false << QRect(480, 270, 960, 540);
    QTest::newRow("full screen selects nothing") << QSize(1920, 1080) << true << QRect(0, 0, 0, 0);
}

void tst_SelectionGeometry::startsWithTheMiddleQuarter()
{
    QFETCH(QSize, screen);
    QFETCH(bool, fullScreen);
    QFETCH(QRect, selection);
    G geometry;
    geometry.Reset(screen, fullScreen);
    QCOMPARE(geometry.Selection(), selection);
    QVERIFY(!geometry.IsDragging());
}

void tst_SelectionGeometry::hitTest_data()
{
    // Selection (480, 270, 960, 540): right 1439, bottom 809, centre (959, 539).
    QTest::addColumn<QPoint>("point");
    QTest::addColumn<G::HitState>("hit");
    QTest::addColumn<Qt::CursorShape>("cursor");
    QTest::newRow("top-left handle, far inner edge")
        << QPoint(489, 279) << G::AnchorLeftTop << Qt::SizeFDiagCursor;
    QTest::newRow("just past top-left handle") << QPoint(490, 290) << G::SelContent << Qt::SizeAllCursor;
    QTest::newRow("just outside top-left handle") << QPoint(469, 270) << G::OtherArea << Qt::ArrowCursor;
    QTest::newRow("top-right handle") << QPoint(1439, 270) << G::AnchorRightTop << Qt::SizeBDiagCursor;
    QTest::newRow("bottom-right handle") << QPoint(1448, 818) << G::AnchorRightBottom << Qt::SizeFDiagCursor;
    QTest::newRow("top middle") << QPoint(959, 265) << G::AnchorMidTop << Qt::SizeVerCursor;
    QTest::newRow("left middle") << QPoint(480, 539) << G::AnchorMidLeft << Qt::SizeHorCursor;
    QTest::newRow("inside") << QPoint(700, 400) << G::SelContent << Qt::SizeAllCursor;
    QTest::newRow("on the border, between handles") << QPoint(700, 270) << G::SelContent << Qt::SizeAllCursor;
    QTest::newRow("outside") << QPoint(100, 100) << G::OtherArea << Qt::ArrowCursor;
}

void tst_SelectionGeometry::hitTest()
{
    QFETCH(QPoint, point);
    QFETCH(G::HitState, hit);
    QFETCH(Qt::CursorShape, cursor);
    QCOMPARE(G::HitTest(QRect(480, 270, 960, 540), point), hit);
    QCOMPARE(G::CursorFor(hit), cursor);
}

void tst_SelectionGeometry::drags_data()
{
    // All on 1920 x 1080, starting from (480, 270, 960, 540).
    QTest::addColumn<QPoint>("from");
    QTest::addColumn<QList<QPoint>>("moves");
    QTest::addColumn<QRect>("selection");
    QTest::newRow("bottom-right handle grows")
        << QPoint(1439, 809) << QList<QPoint>{{1539, 859}} << QRect(480, 270, 1060, 590);
    QTest::newRow("top-left past bottom-right stops at 10 x 10")
        << QPoint(480, 270) << QList<QPoint>{{1700, 1000}} << QRect(1429, 799, 10, 10);
    QTest::newRow("left handle past the right edge stops at width 10")
        << QPoint(480, 539) << QList<QPoint>{{1800, 539}} << QRect(1429, 270, 10, 540);
    QTest::newRow("bottom-right handle past top-left keeps the corner")
        << QPoint(1439, 809) << QList<QPoint>{{0, 0}} << QRect(480, 270, 10, 10);
    QTest::newRow("resize is clamped to the screen")
        << QPoint(1439, 809) << QList<QPoint>{{5000, 5000}} << QRect(480, 270, 1441, 811);
    QTest::newRow("move past the right edge pins to it")
        << QPoint(700, 400) << QList<QPoint>{{3000, 400}} << QRect(960, 270, 960, 540);
    QTest::newRow("moves are relative to the press, not cumulative")
        << QPoint(700, 400) << QList<QPoint>{{710, 410}, {720, 420}} << QRect(500, 290, 960, 540);
    QTest::newRow("press outside changes nothing")
        << QPoint(50, 50) << QList<QPoint>{{300, 300}, {900, 700}} << QRect(480, 270, 960, 540);
}

void tst_SelectionGeometry::drags()
{
    QFETCH(QPoint, from);
    QFETCH(QList<QPoint>, moves);
    QFETCH(QRect, selection);
    G geometry = AreaOn(1920, 1080);
    QCOMPARE(Drag(geometry, from, moves), selection);
    QVERIFY(!geometry.IsDragging());
}

void tst_SelectionGeometry::toolBarPlacement_data()
{
    QTest::addColumn<QList<QPoint>>("drags"); // pairs of press and release points
    QTest::addColumn<QPoint>("position");
    QTest::newRow("start rectangle: below, right-aligned") << QList<QPoint>{} << QPoint(1134, 819);
    QTest::newRow("no room below: inside, above the bottom edge")
        << QList<QPoint>{{700, 400}, {700, 2000}} << QPoint(1134, 1033);
    QTest::newRow("too far left to right-align: at 0")
        << QList<QPoint>{{1439, 539}, {0, 539}, {484, 400}, {0, 400}} << QPoint(0, 819);
}

void tst_SelectionGeometry::toolBarPlacement()
{
    QFETCH(QList<QPoint>, drags);
    QFETCH(QPoint, position);
    G geometry = AreaOn(1920, 1080);
    for (int i = 0; i + 1 < drags.size(); i += 2)
        Drag(geometry, drags[i], {drags[i + 1]});
    QCOMPARE(geometry.ToolBarPosition(QSize(300, 36)), position);
}

void tst_SelectionGeometry::cropIsInDevicePixels_data()
{
    QTest::addColumn<double>("ratio");
    QTest::addColumn<bool>("fullScreen");
    QTest::addColumn<QRect>("crop");
    // The selection is dragged to (100, 100, 200, 100) first.
    QTest::newRow("ratio 1.5") << 1.5 << false << QRect(150, 150, 300, 150);
    QTest::newRow("ratio 1.25 truncates") << 1.25 << false << QRect(125, 125, 250, 125);
    QTest::newRow("full screen at 2") << 2.0 << true << QRect(0, 0, 3840, 2160);
}

void tst_SelectionGeometry::cropIsInDevicePixels()
{
    QFETCH(double, ratio);
    QFETCH(bool, fullScreen);
    QFETCH(QRect, crop);
    G geometry = AreaOn(1920, 1080);
    Drag(geometry, QPoint(480, 270), {QPoint(100, 100)});                // top-left to (100, 100)
    Drag(geometry, QPoint(1439, 809), {QPoint(1439 - 1139, 809 - 609)}); // then shrink
    QCOMPARE(geometry.Selection(), QRect(100, 100, 200, 100));
    QCOMPARE(geometry.CropRect(ratio, fullScreen), crop);
}

QTEST_APPLESS_MAIN(tst_SelectionGeometry)
#include "tst_SelectionGeometry.moc"
