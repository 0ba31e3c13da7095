// Screen capture through the running service on a private Xvfb screen covered with a known
// pattern: the answer's pixels against the pattern, the overlay driven with real X input.
#include "tests/support/ServiceHarness.h"
#include "tests/support/FileMode.h"
#include "tests/support/TestFiles.h"
#include "tests/support/XvfbDisplay.h"
#include "tests/snap/ScreenPattern.h"

#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <signal.h>
#include <sys/stat.h>

namespace {

const QString kOverlay = QStringLiteral("SnapScreenTool");
const QString kToolBar = QStringLiteral("Dialog");

struct SnapAnswer
{
    JsonCommand envelope;
    bool success = false;
    QString filePath;
    QByteArray png;
};

SnapAnswer Parse(const JsonCommand& _jsonCommand)
{
    const QJsonObject body = QJsonDocument::fromJson(_jsonCommand.data.toUtf8()).object();
    SnapAnswer answer;
    answer.envelope = _jsonCommand;
    answer.success = body.value(QStringLiteral("bSucc")).toBool();
    answer.filePath = QString::fromUtf8(
        QByteArray::fromBase64(body.value(QStringLiteral("filePath")).toString().toLatin1()));
    answer.png = QByteArray::fromBase64(body.value(QStringLiteral("imgBase64")).toString().toLatin1());
    return answer;
}

// The first pixel where the two differ, or "" when they are equal.
QString FirstDifference(const QImage& _actual, const QImage& _expected)
{
    if (_actual.size() != _expected.size())
        return QStringLiteral("size %1x%2").arg(_actual.width()).arg(_actual.height());
    const QImage a = _actual.convertToFormat(QImage::Format_RGB32);
    const QImage e = _expected.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if ((a.pixel(x, y) & 0xffffff) != (e.pixel(x, y) & 0xffffff))
                return QStringLiteral("pixel %1,%2").arg(x).arg(y);
    return QString();
}

} // namespace

class tst_SnapE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void fullScreenIsTheScreenPixelForPixel();
    void requestsAtOnceShareOneGrab();
    void areaDraggedMovedAndConfirmed();
    void areaCancelled_data();
    void areaCancelled();
    void newerRequestAnswersTheOpenSelection();
    void closedOverlayLeavesNothingToGrab_data();
    void closedOverlayLeavesNothingToGrab();
    void displayWithoutImageAnswersFailure_data();
    void displayWithoutImageAnswersFailure();

private:
    JsonCommand Send(const QString& _qstrCommand);
    SnapAnswer AnswerTo(const JsonCommand& _request, int _nTimeoutMs = 30000);
    void Xdotool(const QStringList& _listArgs);
    // Waits for the overlay and its toolbar; the overlay's window id.
    qulonglong WaitForOverlay();

    XvfbDisplay m_display;
    std::unique_ptr<QProcess> m_pPattern;
    QImage m_imagePattern;
    std::unique_ptr<ServiceProcess> m_pService;
    std::unique_ptr<WsTestClient> m_pClient;
};

void tst_SnapE2E::initTestCase()
{
    QVERIFY2(m_display.start(QSize(1920, 1080)), qPrintable(m_display.errorString()));
    m_pPattern = m_display.launch(QStringLiteral(QORV_PATTERN_WINDOW), {QStringLiteral("exact")},
                                  QStringLiteral("ready"));
    QVERIFY(m_pPattern);
    m_imagePattern = ScreenPattern::Make(QStringLiteral("exact"), 1920, 1080);
    m_pService = std::make_unique<ServiceProcess>();
    m_pService->setDisplay(m_display.display());
    QVERIFY2(m_pService->start(), qPrintable(m_pService->errorString()));
    m_pClient = std::make_unique<WsTestClient>(QStringLiteral("snap_e2e"), m_pService->wsPort());
    QVERIFY(m_pClient->login());
}

void tst_SnapE2E::init()
{
    // A window of the previous test that just closed leaves its place to be painted again by the
    // pattern's own process; a capture before that would hold what was there.
    QTRY_VERIFY_WITH_TIMEOUT(
        FirstDifference(m_display.grab(QRect(0, 0, 1920, 1080)), m_imagePattern).isEmpty(), 15000);
}

void tst_SnapE2E::cleanupTestCase()
{
    m_pClient.reset();
    if (m_pService)
        m_pService->stop();
    if (m_pPattern) {
        m_pPattern->kill();
        m_pPattern->waitForFinished(5000);
    }
}

JsonCommand tst_SnapE2E::Send(const QString& _qstrCommand)
{
    JsonCommand request = makeCommand(QStringLiteral("command"), _qstrCommand);
    request.userdata = QStringLiteral("ud-") + request.guid.mid(1, 6);
    m_pClient->send(request);
    // The X clients below block; the request must have left before they run.
    if (!QTest::qWaitFor([&] { return m_pClient->bytesToWrite() == 0; }, 5000))
        QTest::qFail("the request did not leave the client", __FILE__, __LINE__);
    return request;
}

SnapAnswer tst_SnapE2E::AnswerTo(const JsonCommand& _request, int _nTimeoutMs)
{
    const auto answer = m_pClient->waitFor(
        [&](const JsonCommand& c) { return c.guid == _request.guid && c.type == QLatin1String("transfer"); },
        _nTimeoutMs);
    return answer ? Parse(*answer) : SnapAnswer();
}

void tst_SnapE2E::Xdotool(const QStringList& _listArgs)
{
    bool ok = false;
    m_display.run(QStringLiteral("xdotool"), _listArgs, &ok);
    QVERIFY2(ok, qPrintable(_listArgs.join(QLatin1Char(' '))));
}

qulonglong tst_SnapE2E::WaitForOverlay()
{
    const qulonglong overlay = m_display.waitForWindow(kOverlay, 20000);
    if (!overlay || !m_display.waitForWindow(kToolBar, 20000))
        return 0;
    // Keys go to the focused window; the overlay takes the focus once it is mapped.
    const QString id = QString::number(overlay);
    if (!QTest::qWaitFor(
            [&] {
                return m_display.run(QStringLiteral("xdotool"), {QStringLiteral("getwindowfocus")}) == id;
            },
            10000))
        return 0;
    return overlay;
}

void tst_SnapE2E::fullScreenIsTheScreenPixelForPixel()
{
    const JsonCommand request = Send(QStringLiteral("snap_shot_fullscreen"));
    const SnapAnswer answer = AnswerTo(request);
    QVERIFY(answer.success);
    QCOMPARE(answer.envelope.error_code, 0);
    QCOMPARE(answer.envelope.userdata, request.userdata);
    QCOMPARE(answer.envelope.to, QStringList{m_pClient->name()});
    QCOMPARE(FirstDifference(QImage::fromData(answer.png, "PNG"), m_imagePattern), QString());
    // The saved file holds the same PNG, readable by the user alone, in a folder of the user's own.
    const QString folder = m_pService->root() + QStringLiteral("/tmp/snap_screen_tool");
    QCOMPARE(QFileInfo(answer.filePath).absolutePath(), folder);
    QFile file(answer.filePath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), answer.png);
    QCOMPARE(FileMode(answer.filePath), 0600u);
    QCOMPARE(FileMode(folder), 0700u);
}

void tst_SnapE2E::requestsAtOnceShareOneGrab()
{
    // The first grabs, eight wait for its picture, the rest are refused at once.
    QList<JsonCommand> requests;
    for (int i = 0; i < 12; ++i) {
        requests.append(makeCommand(QStringLiteral("command"), QStringLiteral("snap_shot_fullscreen")));
        m_pClient->send(requests.last());
    }
    QList<SnapAnswer> taken;
    int refused = 0;
    for (const JsonCommand& request : requests) {
        const SnapAnswer answer = AnswerTo(request, 60000);
        QCOMPARE(answer.envelope.guid, request.guid);
        if (answer.success) {
            taken.append(answer);
            continue;
        }
        QCOMPARE(answer.envelope.error_code, 100);
        QCOMPARE(answer.envelope.error_string, QStringLiteral("failed to snap screen"));
        ++refused;
    }
    QVERIFY2(taken.size() >= 1 + 8 && refused >= 1, qPrintable(QString("%1 taken").arg(taken.size())));
    // One picture for all, each in a file of its own holding it.
    QCOMPARE(FirstDifference(QImage::fromData(taken.first().png, "PNG"), m_imagePattern), QString());
    QSet<QString> files;
    for (const SnapAnswer& answer : taken) {
        QCOMPARE(answer.png, taken.first().png);
        files.insert(answer.filePath);
        QFile file(answer.filePath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), answer.png);
    }
    QCOMPARE(files.size(), taken.size());
}

void tst_SnapE2E::areaDraggedMovedAndConfirmed()
{
    const JsonCommand request = Send(QStringLiteral("snap_shot_area"));
    QVERIFY(WaitForOverlay());
    const qulonglong toolbar = m_display.waitForWindow(kToolBar);
    // Start: (480, 270, 960, 540), the toolbar below it, right-aligned.
    QCOMPARE(m_display.windowGeometry(toolbar), QRect(1134, 819, 300, 36));
    // The bottom-right handle 100 right and 50 down: (480, 270, 1060, 590).
    Xdotool({"mousemove", "1439", "809", "mousedown", "1", "mousemove", "1489", "834", "mousemove", "1539",
             "859", "mouseup", "1"});
    QTRY_COMPARE_WITH_TIMEOUT(m_display.windowGeometry(toolbar).topLeft(), QPoint(1134 + 100, 869), 10000);
    // Moved far past the right edge it stays pinned there: (860, 270, 1060, 590).
    Xdotool({"mousemove", "960", "540", "mousedown", "1", "mousemove", "1500", "545", "mousemove", "1919",
             "540", "mouseup", "1"});
    QTRY_COMPARE_WITH_TIMEOUT(m_display.windowGeometry(toolbar).topLeft(), QPoint(1919 - 305, 869), 10000);
    // OK is the right-hand button: 32 px wide inside the bar's right margin.
    Xdotool({"mousemove", "1887", "887", "click", "1"});
    const SnapAnswer answer = AnswerTo(request);
    QVERIFY(answer.success);
    QCOMPARE(answer.envelope.userdata, request.userdata);
    QCOMPARE(FirstDifference(QImage::fromData(answer.png, "PNG"), m_imagePattern.copy(860, 270, 1060, 590)),
             QString());
    QVERIFY(m_display.waitForNoWindow(kOverlay));
}

void tst_SnapE2E::areaCancelled_data()
{
    QTest::addColumn<QStringList>("input");
    QTest::addColumn<QString>("error");
    QTest::newRow("Esc") << QStringList{"key", "Escape"} << "user cancel by press esc";
    // The cancel button sits left of OK: the bar's right margin, OK, the spacing, then its 32 px.
    QTest::newRow("cancel button") << QStringList{"mousemove", "1369", "837", "click", "1"}
                                   << "user cancel by button";
}

void tst_SnapE2E::areaCancelled()
{
    QFETCH(QStringList, input);
    QFETCH(QString, error);
    const JsonCommand request = Send(QStringLiteral("snap_shot_area"));
    QVERIFY(WaitForOverlay());
    Xdotool(input);
    const SnapAnswer answer = AnswerTo(request);
    QCOMPARE(answer.envelope.error_code, 100);
    QCOMPARE(answer.envelope.error_string, error);
    QCOMPARE(answer.envelope.data, QStringLiteral("{\"bSucc\":false,\"filePath\":\"\",\"imgBase64\":\"\"}"));
    QVERIFY(m_display.waitForNoWindow(kOverlay));
    QVERIFY(m_display.waitForNoWindow(kToolBar));
}

void tst_SnapE2E::newerRequestAnswersTheOpenSelection()
{
    const JsonCommand first = Send(QStringLiteral("snap_shot_area"));
    QVERIFY(WaitForOverlay());
    const JsonCommand second = Send(QStringLiteral("snap_shot_fullscreen"));
    const SnapAnswer cancelled = AnswerTo(first);
    QCOMPARE(cancelled.envelope.error_code, 100);
    QCOMPARE(cancelled.envelope.error_string, QStringLiteral("cancelled by a newer capture request"));
    const SnapAnswer taken = AnswerTo(second);
    QVERIFY(taken.success);
    // The screen as the user had it, not the dimmed overlay that covered it.
    QCOMPARE(FirstDifference(QImage::fromData(taken.png, "PNG"), m_imagePattern), QString());
    QVERIFY(m_display.waitForNoWindow(kOverlay));
}

void tst_SnapE2E::closedOverlayLeavesNothingToGrab_data()
{
    QTest::addColumn<QStringList>("input");
    QTest::newRow("Esc") << QStringList{"key", "Escape"};
    QTest::newRow("cancel button") << QStringList{"mousemove", "1369", "837", "click", "1"};
}

void tst_SnapE2E::closedOverlayLeavesNothingToGrab()
{
    // The window beneath cannot paint again: whatever the closed overlay and its toolbar leave on
    // the screen stays there, and a capture right after them must not hold it.
    QFETCH(QStringList, input);
    struct Resume
    {
        qint64 pid;
        ~Resume() { ::kill(static_cast<pid_t>(pid), SIGCONT); }
    } resume{m_pPattern->processId()};
    QCOMPARE(::kill(static_cast<pid_t>(resume.pid), SIGSTOP), 0);
    const JsonCommand area = Send(QStringLiteral("snap_shot_area"));
    QVERIFY(WaitForOverlay());
    Xdotool(input);
    QCOMPARE(AnswerTo(area).envelope.error_code, 100);
    const SnapAnswer taken = AnswerTo(Send(QStringLiteral("snap_shot_fullscreen")));
    QVERIFY(taken.success);
    QCOMPARE(FirstDifference(QImage::fromData(taken.png, "PNG"), m_imagePattern), QString());
}

void tst_SnapE2E::displayWithoutImageAnswersFailure_data()
{
    QTest::addColumn<QString>("platform");
    // Qt's minimal platform has a screen but, like a Wayland session, no way to grab it.
    QTest::newRow("grab gives no image") << "minimal";
    QTest::newRow("no display at all") << "offscreen";
}

void tst_SnapE2E::displayWithoutImageAnswersFailure()
{
    QFETCH(QString, platform);
    ServiceProcess service;
    service.setEnvironment(QStringLiteral("QT_QPA_PLATFORM"), platform);
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    WsTestClient client(QStringLiteral("snap_e2e_minimal"), service.wsPort());
    QVERIFY(client.login());
    const JsonCommand request =
        makeCommand(QStringLiteral("command"), QStringLiteral("snap_shot_fullscreen"));
    client.send(request);
    const auto answer = client.waitFor(
        [&](const JsonCommand& c) { return c.guid == request.guid && c.type == QLatin1String("transfer"); },
        20000);
    QVERIFY(answer);
    QCOMPARE(answer->error_code, 100);
    QCOMPARE(answer->error_string, QStringLiteral("failed to snap screen"));
    QVERIFY(!QFileInfo::exists(service.root() + QStringLiteral("/tmp/snap_screen_tool")));
}

QTEST_GUILESS_MAIN(tst_SnapE2E)
#include "tst_SnapE2E.moc"
