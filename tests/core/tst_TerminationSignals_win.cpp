// How the service answers Windows' requests to stop, and the session's end across a real process:
// this program, started with --serve, runs an event loop that TerminationSignals watches.
#include "core/StopRequest.h"
#include "core/TerminationSignals.h"

#include <QtTest>

#include <windows.h>

#include <cstdio>
#include <thread>

Q_DECLARE_METATYPE(StopRequest::Answer)

using Answer = StopRequest::Answer;

class tst_TerminationSignals_win : public QObject
{
    Q_OBJECT
private slots:
    void consoleEvents_data();
    void consoleEvents();
    void sessionEndWaitsForTheCleanExit();
};

void tst_TerminationSignals_win::consoleEvents_data()
{
    QTest::addColumn<quint32>("event");
    QTest::addColumn<Answer>("answer");
    QTest::newRow("Ctrl-C") << quint32(CTRL_C_EVENT) << Answer::Quit;
    QTest::newRow("Ctrl-Break") << quint32(CTRL_BREAK_EVENT) << Answer::Quit;
    // The system ends the process once the handler returns.
    QTest::newRow("console closed") << quint32(CTRL_CLOSE_EVENT) << Answer::QuitAndWait;
    // Sent for any user's log-off; this session's end comes to the window instead.
    QTest::newRow("someone logs off") << quint32(CTRL_LOGOFF_EVENT) << Answer::Ignore;
    QTest::newRow("shut-down") << quint32(CTRL_SHUTDOWN_EVENT) << Answer::Ignore;
}

void tst_TerminationSignals_win::consoleEvents()
{
    QFETCH(quint32, event);
    QFETCH(Answer, answer);
    QCOMPARE(StopRequest::ForConsoleEvent(event), answer);
}

namespace {

struct Search
{
    DWORD nPid;
    HWND hWindow;
};

HWND SessionWindowOf(qint64 _nPid)
{
    Search search{static_cast<DWORD>(_nPid), nullptr};
    EnumWindows(
        [](HWND _hWindow, LPARAM _lParam) -> BOOL {
            auto* found = reinterpret_cast<Search*>(_lParam);
            DWORD pid = 0;
            GetWindowThreadProcessId(_hWindow, &pid);
            wchar_t name[64] = {};
            GetClassNameW(_hWindow, name, 64);
            if (pid != found->nPid || wcscmp(name, L"QorvUtilityServiceSessionEnd") != 0)
                return TRUE;
            found->hWindow = _hWindow;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.hWindow;
}

} // namespace

void tst_TerminationSignals_win::sessionEndWaitsForTheCleanExit()
{
    QCOMPARE(StopRequest::ForSessionEnd(false), Answer::Ignore); // the log-off was cancelled
    // Wine makes windows only with a graphics driver, or with Graphics=null in its prefix's
    // HKCU\Software\Wine\Drivers.
    const HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                       GetModuleHandleW(nullptr), nullptr);
    if (!probe)
        QSKIP("no windows can be made here (Wine without a graphics driver)");
    DestroyWindow(probe);
    QTemporaryDir dir;
    const QString cleanedUp = dir.filePath("cleaned-up");
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"--serve", cleanedUp});
    QVERIFY(child.waitForReadyRead(30000));
    HWND window = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((window = SessionWindowOf(child.processId())) != nullptr, 30000);
    DWORD_PTR result = 0;
    // The system ends the process as soon as every window has answered: the clean exit must be
    // over by then.
    QVERIFY(SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_BLOCK, 30000, &result));
    QVERIFY(QFile::exists(cleanedUp));
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitCode(), 0);
}

int main(int argc, char* argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--serve") == 0) {
        auto* app = new QCoreApplication(argc, argv);
        TerminationSignals::QuitOnTermination(app);
        QTimer::singleShot(0, [] {
            std::printf("ready\n");
            std::fflush(stdout);
        });
        // Bounded: a child nobody stops ends by itself.
        QTimer::singleShot(60000, app, &QCoreApplication::quit);
        const int code = app->exec();
        // Stands for the workers the service stops and joins after its event loop.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        QFile marker(QString::fromLocal8Bit(argv[2]));
        marker.open(QIODevice::WriteOnly);
        marker.close();
        delete app;
        return code;
    }
    QCoreApplication app(argc, argv);
    tst_TerminationSignals_win test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_TerminationSignals_win.moc"
