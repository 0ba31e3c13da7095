// Size and the nine spots of the toast, on the available area of a screen with a task bar.
#include "notices/ToastPlacement.h"

#include <QtTest>

class tst_ToastPlacement : public QObject
{
    Q_OBJECT
private slots:
    void sizeFollowsScreenHeight_data();
    void sizeFollowsScreenHeight();
    void spots_data();
    void spots();
};

void tst_ToastPlacement::sizeFollowsScreenHeight_data()
{
    QTest::addColumn<int>("screenHeight");
    QTest::addColumn<QSize>("size");
    QTest::newRow("1080 lines: design size") << 1080 << QSize(416, 148);
    QTest::newRow("1440 lines: truncated") << 1440 << QSize(554, 197);
    QTest::newRow("720 lines") << 720 << QSize(277, 98);
}

void tst_ToastPlacement::sizeFollowsScreenHeight()
{
    QFETCH(int, screenHeight);
    QFETCH(QSize, size);
    QCOMPARE(ToastPlacement::Size(ToastPlacement::Scale(screenHeight)), size);
}

void tst_ToastPlacement::spots_data()
{
    QTest::addColumn<QString>("position");
    QTest::addColumn<QPoint>("topLeft");
    // 1920 x 1080 with a 40-pixel task bar at the bottom; toast 416 x 148.
    QTest::newRow("top-left") << "top-left" << QPoint(0, 0);
    QTest::newRow("top") << "top" << QPoint(752, 0);
    QTest::newRow("top-right") << "top-right" << QPoint(1503, 0);
    QTest::newRow("middle-left") << "middle-left" << QPoint(0, 446);
    QTest::newRow("middle") << "middle" << QPoint(752, 446);
    QTest::newRow("middle-right") << "middle-right" << QPoint(1503, 446);
    QTest::newRow("bottom-left") << "bottom-left" << QPoint(0, 891);
    QTest::newRow("bottom") << "bottom" << QPoint(752, 891);
    QTest::newRow("bottom-right") << "bottom-right" << QPoint(1503, 891);
    QTest::newRow("unknown name stays put") << "Bottom-Right" << QPoint(-1, -1);
    QTest::newRow("empty stays put") << "" << QPoint(-1, -1);
}

void tst_ToastPlacement::spots()
{
    QFETCH(QString, position);
    QFETCH(QPoint, topLeft);
    const auto at = ToastPlacement::TopLeft(position, QRect(0, 0, 1920, 1040), QSize(416, 148));
    QCOMPARE(at.value_or(QPoint(-1, -1)), topLeft);
}

QTEST_GUILESS_MAIN(tst_ToastPlacement)
#include "tst_ToastPlacement.moc"
