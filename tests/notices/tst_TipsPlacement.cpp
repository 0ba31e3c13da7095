// Tips windows sit in the bottom-right corner of the whole screen, offsets scaled with it.
#include "notices/TipsPlacement.h"

#include <QtTest>

class tst_TipsPlacement : public QObject
{
    Q_OBJECT
private slots:
    void bottomRightCorner_data();
    void bottomRightCorner();
};

void tst_TipsPlacement::bottomRightCorner_data()
{
    QTest::addColumn<QSize>("screen");
    QTest::addColumn<QSize>("window");
    QTest::addColumn<QPoint>("topLeft");
    QTest::newRow("1920 x 1080") << QSize(1920, 1080) << QSize(258, 84) << QPoint(1642, 926);
    QTest::newRow("2560 x 1440") << QSize(2560, 1440) << QSize(344, 112) << QPoint(2189, 1234);
}

void tst_TipsPlacement::bottomRightCorner()
{
    QFETCH(QSize, screen);
    QFETCH(QSize, window);
    QFETCH(QPoint, topLeft);
    QCOMPARE(TipsPlacement::TopLeft(screen, window), topLeft);
}

QTEST_GUILESS_MAIN(tst_TipsPlacement)
#include "tst_TipsPlacement.moc"
