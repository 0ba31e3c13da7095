// The toolbar offscreen: its two buttons show the compiled-in images and signal their clicks,
// and Esc pressed on it reaches the overlay behind it.
#include "resources/QorvResources.h"
#include "snap/ToolBar.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

namespace {

// Stands in for the overlay: notes the keys that reach it.
class KeyWitness : public QWidget
{
public:
    QList<int> keys;

protected:
    void keyPressEvent(QKeyEvent* _pEvent) override { keys.append(_pEvent->key()); }
};

} // namespace

class tst_ToolBar : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { InitQorvResources(); }
    void buttonsShowTheirImagesAndSignal_data();
    void buttonsShowTheirImagesAndSignal();
    void escapeReachesTheParent();
};

void tst_ToolBar::buttonsShowTheirImagesAndSignal_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QPoint>("stroke"); // a point on the image's drawing
    QTest::addColumn<QColor>("colour");
    QTest::newRow("OK: green check") << "btnOK" << QPoint(19, 16) << QColor(46, 184, 76);
    QTest::newRow("cancel: orange-red cross") << "btnCancel" << QPoint(16, 16) << QColor(255, 69, 0);
}

void tst_ToolBar::buttonsShowTheirImagesAndSignal()
{
    QFETCH(QString, button);
    QFETCH(QPoint, stroke);
    QFETCH(QColor, colour);
    QVERIFY(QImage(QStringLiteral(":/btnimg/img/btn_confirm.png")).size() == QSize(32, 32));
    ToolBar bar;
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));
    QCOMPARE(bar.size(), QSize(300, 36));
    QPushButton* pushButton = bar.findChild<QPushButton*>(button);
    QVERIFY(pushButton);
    QCOMPARE(pushButton->size(), QSize(32, 32));
    const QImage image = bar.grab().toImage();
    const QColor seen = image.pixelColor(pushButton->geometry().topLeft() + stroke);
    QVERIFY2(qAbs(seen.red() - colour.red()) < 40 && qAbs(seen.green() - colour.green()) < 40 &&
                 qAbs(seen.blue() - colour.blue()) < 40,
             qPrintable(seen.name()));
    QSignalSpy ok(&bar, &ToolBar::signBtnOKClicked);
    QSignalSpy cancel(&bar, &ToolBar::signBtnCancelClicked);
    QTest::mouseClick(pushButton, Qt::LeftButton);
    QCOMPARE(ok.count(), button == QLatin1String("btnOK") ? 1 : 0);
    QCOMPARE(cancel.count(), button == QLatin1String("btnCancel") ? 1 : 0);
}

void tst_ToolBar::escapeReachesTheParent()
{
    KeyWitness overlay;
    ToolBar* bar = new ToolBar(&overlay);
    QTest::keyClick(bar, Qt::Key_Escape);
    QCOMPARE(overlay.keys, QList<int>{Qt::Key_Escape});
    ToolBar orphan;
    QTest::keyClick(&orphan, Qt::Key_Escape); // nowhere to go: ignored, no crash
}

QTEST_MAIN(tst_ToolBar)
#include "tst_ToolBar.moc"
