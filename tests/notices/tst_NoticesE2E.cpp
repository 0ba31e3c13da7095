// What the user sees, through the running service on a private Xvfb display (1920 x 1080, no
// window manager, so the available area is the whole screen): each window is looked up from
// outside where it was computed to be, clicked with real X input, and must go away on time.
#include "tests/support/ServiceHarness.h"
#include "tests/support/XvfbDisplay.h"

#include <QElapsedTimer>
#include <QtTest>

class tst_NoticesE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void countdownShowsThenFinishes();
    void toastAtItsSpotClosesOnClick();
    void toastGoesAwayAfterTimeRemain();
    void tipsButtonClosesIt();
    void networkTipsShowTheirStyleAndTimeOut();

private:
    JsonCommand Send(const QString& _qstrCommand, const QString& _qstrData);
    // Waits until exactly one window with the title is mapped; its geometry.
    QRect WaitShown(const QString& _qstrTitle);
    bool WaitGone(const QString& _qstrTitle, int _nTimeoutMs = 10000);
    // The warning colour of the toast's icon and the network error logo.
    bool IsWarningRed(int _nX, int _nY);

    XvfbDisplay m_display;
    ServiceProcess m_service;
    std::unique_ptr<ZmqTestClient> m_pClient;
};

void tst_NoticesE2E::initTestCase()
{
    QVERIFY2(m_display.start(QSize(1920, 1080)), qPrintable(m_display.errorString()));
    m_service.setDisplay(m_display.display());
    QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
    m_pClient = std::make_unique<ZmqTestClient>(QStringLiteral("notices_e2e"), m_service.zmqPort());
    QVERIFY(m_pClient->login());
}

JsonCommand tst_NoticesE2E::Send(const QString& _qstrCommand, const QString& _qstrData)
{
    const JsonCommand request = makeCommand(QStringLiteral("command"), _qstrCommand, _qstrData);
    m_pClient->send(request);
    return request;
}

QRect tst_NoticesE2E::WaitShown(const QString& _qstrTitle)
{
    QList<QRect> windows;
    (void)QTest::qWaitFor([&] { return !(windows = m_display.visibleWindows(_qstrTitle)).isEmpty(); }, 15000);
    return windows.size() == 1 ? windows.first() : QRect();
}

bool tst_NoticesE2E::WaitGone(const QString& _qstrTitle, int _nTimeoutMs)
{
    return QTest::qWaitFor([&] { return m_display.visibleWindows(_qstrTitle).isEmpty(); }, _nTimeoutMs);
}

bool tst_NoticesE2E::IsWarningRed(int _nX, int _nY)
{
    const quint32 c = m_display.pixel(_nX, _nY).value_or(0);
    return (c >> 16) > 200 && ((c >> 8) & 0xff) < 130 && (c & 0xff) < 100;
}

void tst_NoticesE2E::countdownShowsThenFinishes()
{
    const JsonCommand request = Send(QStringLiteral("count_down"), QStringLiteral("2"));
    const QRect window = WaitShown(QStringLiteral("CountDown"));
    // 140/1920 of the width, placed where a parentless dialog goes: about the screen's centre.
    QCOMPARE(window.size(), QSize(140, 140));
    QVERIFY2((window.center() - QPoint(960, 540)).manhattanLength() < 120,
             qPrintable(QString::number(window.x())));
    const auto finish = m_pClient->waitFor(
        [&](const JsonCommand& _e) {
            return _e.guid == request.guid && _e.type == QLatin1String("transfer");
        },
        20000);
    QVERIFY(finish);
    QVERIFY(WaitGone(QStringLiteral("CountDown"), 5000));
}

void tst_NoticesE2E::toastAtItsSpotClosesOnClick()
{
    Send(QStringLiteral("command_custom_toast"),
         QStringLiteral(R"({"message":"磁盘空间不足","timeRemain":60000,"position":"bottom-right"})"));
    const QRect window = WaitShown(QStringLiteral("CustomToast"));
    QCOMPARE(window, QRect(1503, 931, 416, 148));
    // White box; the compiled-in icon fills the left, its triangle below the exclamation mark.
    QTRY_COMPARE(m_display.pixel(window.x() + 400, window.y() + 10).value_or(0), quint32(0xffffff));
    QVERIFY(IsWarningRed(window.x() + 35, window.y() + 95));
    QVERIFY(m_display.click(window.center().x(), window.center().y()));
    QVERIFY(WaitGone(QStringLiteral("CustomToast"), 5000));
}

void tst_NoticesE2E::toastGoesAwayAfterTimeRemain()
{
    QElapsedTimer clock;
    clock.start();
    Send(QStringLiteral("command_custom_toast"),
         QStringLiteral(R"({"message":"m","timeRemain":1500,"position":"middle"})"));
    QCOMPARE(WaitShown(QStringLiteral("CustomToast")), QRect(752, 466, 416, 148));
    QVERIFY(WaitGone(QStringLiteral("CustomToast"), 15000));
    // Qt's coarse timers may fire up to 5% early.
    QVERIFY2(clock.elapsed() >= 1400, qPrintable(QString::number(clock.elapsed())));
}

void tst_NoticesE2E::tipsButtonClosesIt()
{
    // A 200 x 40 button centred in a 258 x 40 row 20 pixels below the top; strong, so only the
    // button can close it.
    Send(QStringLiteral("command_show_tips_view"),
         QStringLiteral(R"({"width":258,"height":84,"strong_stips":true,"view_data":{"obj_name":"viewTips"},
            "widget_button_data":{"width":258,"height":40,"margin_top":20},
            "list_button_data":[{"obj_name":"btnKnow","show_name":"知道了","width":200,"height":40}]})"));
    const QRect window = WaitShown(QStringLiteral("ViewTips"));
    QCOMPARE(window, QRect(1642, 926, 258, 84));
    QVERIFY(m_display.click(window.x() + 129, window.y() + 40));
    QVERIFY(WaitGone(QStringLiteral("ViewTips"), 5000));
}

void tst_NoticesE2E::networkTipsShowTheirStyleAndTimeOut()
{
    const QString qss = m_service.binDir() + QStringLiteral("/qss");
    QVERIFY(QFile::exists(qss + QStringLiteral("/qss/network_error_tips.qss")));
    QVERIFY(QFile::exists(qss + QStringLiteral("/image/network_error.png")));
    QElapsedTimer clock;
    clock.start();
    Send(QStringLiteral("command_show_tips_view"),
         QStringLiteral(R"({"width":258,"height":84,"show_time":3,"logo_show":true,"main_tips":true,
            "view_data":{"obj_name":"viewTips","border_radius":12},
            "logo_data":{"obj_name":"lblLogoNetworkErrorImage","width":40,"height":40,"margin_top":8},
            "main_tips_data":{"obj_name":"lblMainTips","show_name":"当前网络异常, 请检查网络连接!",
                              "width":190,"height":20,"font_size":14,"margin_top":4},
            "view_tips_qss_path":"%1/qss/network_error_tips.qss","view_tips_image_path":"%1/image",
            "view_tips_image_replace":"%path%"})")
             .arg(qss));
    const QRect window = WaitShown(QStringLiteral("ViewTips"));
    QCOMPARE(window, QRect(1642, 926, 258, 84));
    // The error logo from the images folder the style sheet names through %path%: a red disc
    // 40 pixels wide, centred, 8 below the top.
    QTRY_VERIFY(IsWarningRed(window.x() + 129, window.y() + 14));
    QVERIFY(WaitGone(QStringLiteral("ViewTips"), 15000));
    // Qt's coarse timers may fire up to 5% early.
    QVERIFY2(clock.elapsed() >= 2800, qPrintable(QString::number(clock.elapsed())));
}

QTEST_GUILESS_MAIN(tst_NoticesE2E)
#include "tst_NoticesE2E.moc"
