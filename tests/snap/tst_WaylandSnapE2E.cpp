// Capture through the running service in a Wayland session: headless sway with XWayland, and the
// desktop's real screenshot portal (xdg-desktop-portal with its wlroots backend) on a private
// session bus. The picture must be the compositor's, the windows where the service puts them.
#include "tests/e2e/ServiceHarness.h"
#include "tests/e2e/XvfbDisplay.h"
#include "tests/snap/HeadlessSway.h"
#include "tests/snap/PrivateSessionBus.h"

#include <QDir>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

const QSize kScreen(1920, 1080);
// swaybg paints the output with this; no X11 window shows it.
const QRgb kBackground = qRgb(0x33, 0x66, 0x99);
const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");

struct Capture
{
    bool success = false;
    int code = -1;
    QString error;
    QImage image;
};

// The image shows the background colour, but for the pointer the compositor draws over it.
bool AllBackground(const QImage& _image)
{
    const QImage rgb = _image.convertToFormat(QImage::Format_RGB32);
    int other = 0;
    for (int y = 0; y < rgb.height(); ++y)
        for (int x = 0; x < rgb.width(); ++x)
            other += (rgb.pixel(x, y) & 0xffffff) != (kBackground & 0xffffff);
    return !rgb.isNull() && other <= 32 * 32;
}

} // namespace

class tst_WaylandSnapE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void fullScreenIsTheCompositorsPicture();
    void areaChosenOnTheFullScreenOverlay();
    void noticeWhereItBelongs();
    void withoutThePortal_data();
    void withoutThePortal();

private:
    void StartService(ServiceProcess& _service, const QString& _qstrBus);
    Capture Snap(WsTestClient& _client, const QString& _qstrCommand,
                 const std::function<void()>& _funcMeanwhile = {});

    HeadlessSway m_sway;
    XvfbDisplay m_x11;
    PrivateSessionBus m_bus;
    QTemporaryDir m_runtime; // the user's runtime folder of pipewire and the portal
    QString m_qstrError;
    std::unique_ptr<ServiceProcess> m_pService;
    std::unique_ptr<WsTestClient> m_pClient;
};

void tst_WaylandSnapE2E::initTestCase()
{
    const QStringList missing = HeadlessSway::missingPrograms();
    if (!missing.isEmpty())
        QSKIP(qPrintable(
            QStringLiteral("the Debian packages of %1 are missing").arg(missing.join(QLatin1String(", ")))));
    QVERIFY2(m_sway.start(kScreen, QStringLiteral("#336699")), qPrintable(m_sway.errorString()));
    QVERIFY2(m_sway.startPointer(QStringLiteral(QORV_VIRTUAL_POINTER)), qPrintable(m_sway.errorString()));
    m_x11.attach(m_sway.x11Display());
    QVERIFY2(m_bus.start(true), qPrintable(m_bus.errorString()));

    QVERIFY2(m_sway.startPortal(m_bus, m_runtime.path(), &m_qstrError), qPrintable(m_qstrError));

    m_pService = std::make_unique<ServiceProcess>();
    StartService(*m_pService, m_bus.address());
    m_pClient = std::make_unique<WsTestClient>(QStringLiteral("wayland_e2e"), m_pService->wsPort());
    QVERIFY(m_pClient->login());
}

void tst_WaylandSnapE2E::cleanupTestCase()
{
    m_pClient.reset();
    if (m_pService)
        m_pService->stop();
}

void tst_WaylandSnapE2E::StartService(ServiceProcess& _service, const QString& _qstrBus)
{
    const QProcessEnvironment env = m_sway.sessionEnvironment();
    for (const QString& key : env.keys())
        _service.setEnvironment(key, env.value(key));
    _service.setEnvironment(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), _qstrBus);
    // As a desktop starts it: the service chooses its platform itself.
    _service.setEnvironment(QStringLiteral("QT_QPA_PLATFORM"), QString());
    QVERIFY2(_service.start(), qPrintable(_service.errorString()));
}

Capture tst_WaylandSnapE2E::Snap(WsTestClient& _client, const QString& _qstrCommand,
                                 const std::function<void()>& _funcMeanwhile)
{
    const JsonCommand request = makeCommand(QStringLiteral("command"), _qstrCommand);
    _client.send(request);
    if (_funcMeanwhile)
        _funcMeanwhile();
    const auto answer = _client.waitFor(
        [&](const JsonCommand& c) { return c.guid == request.guid && c.type == QLatin1String("transfer"); },
        40000);
    Capture capture;
    if (!answer)
        return capture;
    const QJsonObject body = QJsonDocument::fromJson(answer->data.toUtf8()).object();
    capture.success = body.value(QStringLiteral("bSucc")).toBool();
    capture.code = answer->error_code;
    capture.error = answer->error_string;
    capture.image = QImage::fromData(
        QByteArray::fromBase64(body.value(QStringLiteral("imgBase64")).toString().toLatin1()), "PNG");
    return capture;
}

void tst_WaylandSnapE2E::fullScreenIsTheCompositorsPicture()
{
    QVERIFY(m_pService->waitForLog(
        QStringLiteral("screen capture through the screenshot portal (Wayland session); "
                       "windows on the xcb platform")));
    const Capture capture = Snap(*m_pClient, QStringLiteral("snap_shot_fullscreen"));
    QVERIFY2(capture.success, qPrintable(capture.error));
    QCOMPARE(capture.image.size(), kScreen);
    QVERIFY(AllBackground(capture.image));
    // The portal's backend leaves its picture in /tmp; the screen's contents must not stay there.
    QTRY_VERIFY(!QFileInfo::exists(QStringLiteral("/tmp/out.png")));
    QVERIFY(!m_pService->logText().contains(QLatin1String("may be incomplete")));
}

void tst_WaylandSnapE2E::areaChosenOnTheFullScreenOverlay()
{
    // The compositor's own pointer: it finds the window beneath and hands XWayland the events.
    auto moveTo = [&](int _nX, int _nY) {
        const QString where = QStringLiteral("x:%1 y:%2 ").arg(_nX).arg(_nY);
        return m_sway.pointer(QStringLiteral("move %1 %2").arg(_nX).arg(_nY)) &&
               QTest::qWaitFor(
                   [&] {
                       return m_x11.run(QStringLiteral("xdotool"), {QStringLiteral("getmouselocation")})
                           .startsWith(where);
                   },
                   10000);
    };
    const Capture capture = Snap(*m_pClient, QStringLiteral("snap_shot_area"), [&] {
        const qulonglong overlay = m_x11.waitForWindow(QStringLiteral("SnapScreenTool"), 30000);
        QVERIFY(overlay);
        QTRY_COMPARE_WITH_TIMEOUT(m_x11.windowGeometry(overlay), QRect(QPoint(0, 0), kScreen), 10000);
        // The selection starts as the middle quarter; its bottom-right handle 100 right, 50 down.
        QVERIFY(moveTo(1439, 809));
        QVERIFY(m_sway.pointer(QStringLiteral("press")));
        QVERIFY(moveTo(1489, 834));
        QVERIFY(moveTo(1539, 859));
        QVERIFY(m_sway.pointer(QStringLiteral("release")));
        // The bar is part of the overlay, below the selection and right-aligned: OK, its right-hand
        // button, is where the X11 test finds it.
        QVERIFY(moveTo(1134 + 100 + 273, 869 + 18));
        QVERIFY(m_sway.pointer(QStringLiteral("press")));
        QVERIFY(m_sway.pointer(QStringLiteral("release")));
    });
    QVERIFY2(capture.success, qPrintable(capture.error));
    QCOMPARE(capture.image.size(), QSize(1060, 590));
    QVERIFY(AllBackground(capture.image));
    QVERIFY(m_x11.waitForNoWindow(QStringLiteral("SnapScreenTool")));
}

void tst_WaylandSnapE2E::noticeWhereItBelongs()
{
    m_pClient->send(
        makeCommand(QStringLiteral("command"), QStringLiteral("command_custom_toast"),
                    QStringLiteral(R"({"message":"wayland","timeRemain":60000,"position":"bottom-right"})")));
    QList<QRect> windows;
    QVERIFY(QTest::qWaitFor(
        [&] { return !(windows = m_x11.visibleWindows(QStringLiteral("CustomToast"))).isEmpty(); }, 20000));
    QCOMPARE(windows, QList<QRect>{QRect(1503, 931, 416, 148)});
    QVERIFY(m_x11.click(windows.first().center().x(), windows.first().center().y()));
}

void tst_WaylandSnapE2E::withoutThePortal_data()
{
    QTest::addColumn<QStringList>("portal"); // the stand-in's arguments; none: no portal on the bus
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("logged");
    QTest::newRow("no portal: the X11 grab") << QStringList() << true << "the picture may be incomplete";
    QTest::newRow("refused") << QStringList{"refuse", "2"} << false << "the screenshot portal refused";
}

void tst_WaylandSnapE2E::withoutThePortal()
{
    QFETCH(QStringList, portal);
    QFETCH(bool, success);
    QFETCH(QString, logged);
    PrivateSessionBus bus;
    QVERIFY2(bus.start(false), qPrintable(bus.errorString()));
    if (!portal.isEmpty())
        QVERIFY2(bus.launch(QStringLiteral("/usr/bin/python3"),
                            QStringList{PrivateSessionBus::standInPortal()} + portal, QProcessEnvironment(),
                            QStringLiteral("ready")),
                 qPrintable(bus.errorString()));
    ServiceProcess service;
    StartService(service, bus.address());
    WsTestClient client(QStringLiteral("wayland_e2e_other"), service.wsPort());
    QVERIFY(client.login());
    const Capture capture = Snap(client, QStringLiteral("snap_shot_fullscreen"));
    QCOMPARE(capture.success, success);
    if (!success) {
        QCOMPARE(capture.code, 100);
        QCOMPARE(capture.error, QStringLiteral("failed to snap screen"));
    }
    QVERIFY(service.waitForLog(logged));
    service.stop();
}

QTEST_GUILESS_MAIN(tst_WaylandSnapE2E)
#include "tst_WaylandSnapE2E.moc"
