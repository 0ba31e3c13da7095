// Windows has no screenshot portal: captures are Qt's grab, and a request still made is answered
// "no portal" from the event loop, once, as on a desktop without one.
#include "snap/PortalScreenshot.h"

#include <QSignalSpy>
#include <QtTest>

class tst_PortalScreenshot_win : public QObject
{
    Q_OBJECT
private slots:
    void capturesAreQtsGrab();
};

void tst_PortalScreenshot_win::capturesAreQtsGrab()
{
    QVERIFY(!PortalScreenshot::IsUsed());
    PortalScreenshot portal;
    QSignalSpy finished(&portal, &PortalScreenshot::signFinished);
    portal.Request();
    portal.Request(); // answered by the same answer
    QCOMPARE(finished.count(), 0);
    QVERIFY(portal.IsBusy());
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished[0][0].value<PortalScreenshot::Outcome>(), PortalScreenshot::Outcome::NoPortal);
    QVERIFY(!portal.IsBusy());
}

QTEST_GUILESS_MAIN(tst_PortalScreenshot_win)
#include "tst_PortalScreenshot_win.moc"
