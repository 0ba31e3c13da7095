#include "app/AbilityFactory.h"
#include "core/LogCategories.h"
#include "core/AbilityManager.h"
#include "core/AppPaths.h"
#include "core/BusinessProcessor.h"
#include "core/Config.h"
#include "core/CrashHandler.h"
#include "core/DebugPrivilege.h"
#include "core/Logger.h"
#include "core/MessageService.h"
#include "core/ProcessMemory.h"
#include "core/PrivateFolder.h"
#include "core/ServiceNotify.h"
#include "core/SingleInstance.h"
#include "core/TerminationSignals.h"
#include "core/UserUmask.h"
#include "core/WorkerPool.h"
#include "debug/MainWindow.h"
#include "resources/QorvResources.h"
#include "snap/PortalScreenshot.h"
#include "snap/WaylandSession.h"

#include <QApplication>
#include <QDebug>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace {

const char* const kUsage =
    "Usage: qorv-utility-service [--help | --version]\n"
    "\n"
    "The per-user utility service for desktop programs. Programs of the same user connect to it\n"
    "over WebSocket (127.0.0.1, config key wsport, default 5556) or ZeroMQ (key port, default\n"
    "5555), log in and send JSON commands. It runs in the foreground until SIGTERM, SIGINT or\n"
    "SIGHUP; usually its systemd user unit or the session's autostart entry starts it. A second\n"
    "start while it runs exits at once with code 0.\n"
    "\n"
    "Options:\n"
    "  -h, --help     print this text and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Files:\n"
    "  config.ini: the first of $XDG_CONFIG_HOME/qorv-utility-service/config.ini,\n"
    "  <each of $XDG_CONFIG_DIRS, default /etc/xdg>/qorv-utility-service/config.ini and\n"
    "  config.ini beside the executable; none: every key has its default\n"
    "  ~/Documents/<folder>/log/   logs (also on standard error at a terminal; under systemd the\n"
    "                              service's own lines only, unless [log] journal=all)\n"
    "  ~/Documents/<folder>/dmp/   crash reports\n"
    "\n"
    "Exit codes: 0 stopped cleanly or already running, 1 no port could be bound or the instance\n"
    "lock is unsafe.\n"
    "\n"
    "See qorv-utility-service(1) and qorvctl(1); `qorvctl status` shows what it is doing.\n";

// --help and --version answer before anything else starts: no lock, no log, no display.
std::optional<int> AnswerCommandLine(int _nArgc, char* _argv[])
{
    for (int i = 1; i < _nArgc; ++i) {
        if (std::strcmp(_argv[i], "--version") == 0) {
            std::printf("qorv-utility-service %s\n", QORV_VERSION);
            return 0;
        }
        if (std::strcmp(_argv[i], "--help") == 0 || std::strcmp(_argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    return std::nullopt;
}

// A widgets application needs a display; on a machine without one it runs offscreen.
void ChooseOffscreenWithoutDisplay()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        std::fprintf(stderr, "qorv-utility-service: no display found, running with the offscreen platform\n");
    }
}

// A native Wayland client cannot place its windows; through XWayland they go where the service
// computes them. Chosen by an argument, so that the programs the service starts do not inherit it.
std::vector<char*> ArgumentsWithPlatform(int _nArgc, char* _pArgv[], QByteArray& _baPlatform)
{
    static char s_platformOption[] = "-platform";
    std::vector<char*> args(_pArgv, _pArgv + _nArgc);
    _baPlatform = WaylandSession::PlatformToForce();
    if (!_baPlatform.isEmpty()) {
        args.push_back(s_platformOption);
        args.push_back(_baPlatform.data());
    }
    args.push_back(nullptr);
    return args;
}

void InstallTranslation(QApplication& _app, QTranslator& _translator)
{
    for (const QString& language : QLocale::system().uiLanguages()) {
        const QString name = QLocale(language).name();
        if (_translator.load(QStringLiteral(":/i18n/qorv-utility-service_") + name)) {
            _app.installTranslator(&_translator);
            return;
        }
    }
}

void LogStart(const Config& _config)
{
    MessageService& hub = MessageService::Instance();
    qCWarning(lcService).noquote()
        << QStringLiteral(
               "qorv-utility-service %1 started; zeromq %2 (%3); websocket 127.0.0.1:%4 (%5); config %6")
               .arg(QStringLiteral(QORV_VERSION), hub.Zmq().Endpoint(),
                    hub.Zmq().IsRunning() ? QStringLiteral("listening") : QStringLiteral("not listening"),
                    _config.GetWsPort(),
                    hub.WebSocket().ServerPort() ? QStringLiteral("listening")
                                                 : QStringLiteral("not listening"),
                    _config.GetConfigPath().isEmpty()
                        ? QStringLiteral("none found, running on defaults (looked for ") +
                              AppPaths::ConfigCandidates().join(QStringLiteral(", ")) + QLatin1Char(')')
                        : _config.GetConfigPath());
    const bool offscreen = QGuiApplication::platformName() == QLatin1String("offscreen");
    qCWarning(lcService).noquote()
        << QStringLiteral("qorv-utility-service: screen capture %1; windows on the %2 platform")
               .arg(PortalScreenshot::IsUsed()
                        ? QStringLiteral("through the screenshot portal (Wayland session)")
                    : offscreen ? QStringLiteral("unavailable (no display)")
                                : QStringLiteral("from the X11 display"),
                    QGuiApplication::platformName());
    const QString qss = AppPaths::QssFolder();
    qCWarning(lcService).noquote() << QStringLiteral("qorv-utility-service: style sheets and images from %1")
                                          .arg(qss.isEmpty() ? QStringLiteral("(none found)") : qss);
}

// A service manager waiting for readiness hears of it only once clients can connect on both
// transports; otherwise it is told which one failed and gives up on the start after its bound.
void NotifyServiceManager(const Config& _config)
{
    MessageService& hub = MessageService::Instance();
    const bool zmq = hub.Zmq().IsRunning();
    const bool ws = hub.WebSocket().ServerPort() != 0;
    const QString status =
        QStringLiteral("zeromq %1 %2, websocket 127.0.0.1:%3 %4")
            .arg(hub.Zmq().Endpoint(), zmq ? QStringLiteral("listening") : QStringLiteral("FAILED"),
                 _config.GetWsPort(), ws ? QStringLiteral("listening") : QStringLiteral("FAILED"));
    if (zmq && ws)
        ServiceNotify::Ready(status);
    else
        ServiceNotify::Failed(status);
}

// The trace signals come from any thread that enters the hub; the window lives on this one.
void ShowDebugWindow(MainWindow& _window)
{
    BusinessProcessor& processor = BusinessProcessor::Instance();
    QObject::connect(&processor, &BusinessProcessor::SignSendMsg, &_window, &MainWindow::SlotSendMsg);
    QObject::connect(&processor, &BusinessProcessor::SignRecvMsg, &_window, &MainWindow::SlotRecvMsg);
    _window.show();
}

// Each value the service could not use, once in the log and once on standard error (where the
// log's own echo does not reach, it is written directly).
void ReportConfigProblems(const Config& _config, StandardError::Kind _echo)
{
    for (const QString& problem : _config.Problems()) {
        if (_echo == StandardError::Kind::Other || !Logger::IsWritten(QtWarningMsg))
            std::fprintf(stderr, "qorv-utility-service: %s\n", qPrintable(problem));
        qCWarning(lcService).noquote() << problem;
    }
}

// Another user may have planted the lock's folder; starting anyway would leave two instances.
int RefuseUnusableLock(const SingleInstance& _guard)
{
    const QString line =
        QStringLiteral("SingleInstance:the instance lock cannot be used safely, not starting:") +
        _guard.Error();
    std::fprintf(stderr, "qorv-utility-service: %s\n", qPrintable(line));
    qCCritical(lcApp).noquote() << line;
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (const auto answered = AnswerCommandLine(argc, argv))
        return *answered;
    ProcessMemory::KeepLargeBlocksApart();
    UserUmask::Apply();
    Logger& logger = Logger::Instance();
    Config& config = Config::Instance();
    // Before anything else runs, into the default folder until the configuration names its own.
    CrashHandler::Install(Logger::DumpFolder(config.GetFolder()));
    ChooseOffscreenWithoutDisplay();
    QByteArray platform;
    std::vector<char*> args = ArgumentsWithPlatform(argc, argv, platform);
    int nArgs = static_cast<int>(args.size()) - 1;
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication app(nArgs, args.data());

    SingleInstance guard(QStringLiteral("qorv-utility-service"));
    const SingleInstance::State instance = guard.Acquire();
    if (instance == SingleInstance::State::HeldByAnother) {
        // Ready and done: a unit that finds the service already running ends as a success. No
        // log: the running instance owns this run's files.
        const qint64 holder = guard.HolderPid();
        std::fprintf(stderr, "qorv-utility-service: already running (pid %s), exiting\n",
                     holder > 0 ? qPrintable(QString::number(holder)) : "unknown");
        ServiceNotify::Ready(QStringLiteral("another instance is already running"));
        return 0;
    }

    InitQorvResources();
    QTranslator translator;
    InstallTranslation(app, translator);
    EnableDebugPrivilege();
    config.Load(AppPaths::ConfigFile());
    CrashHandler::Install(Logger::DumpFolder(config.GetFolder()));
    logger.SetLimits(config.GetMaxLogFileBytes(), config.GetMaxLogTotalBytes());
    const StandardError::Kind echo = StandardError::Detect();
    logger.SetEcho(echo, config.IsJournalAll());
    logger.Init(config.GetLogLevel(), config.GetFolder());
    logger.InstallHandler();
    ReportConfigProblems(config, echo);
    // The report folder exists from the start, made and checked like the log's, so a crash does
    // not have to make it and the user finds where reports go.
    const PrivateFolder dumps =
        PrivateFolder::Open(Logger::DataRoot(config.GetFolder()), {QStringLiteral("dmp")});
    if (!dumps.IsValid())
        qCCritical(lcApp).noquote() << QStringLiteral("CrashHandler:the crash report folder is refused:") +
                                           dumps.Error();
    if (instance == SingleInstance::State::Unusable)
        return RefuseUnusableLock(guard);
    RunQorvStartupSteps();

    // Created here, on the main thread, where its queued commands run; from now on it receives
    // what clients send to the service.
    AbilityManager manager(QorvAbilities(MessageService::Instance()), MessageService::Instance());
    manager.RegistAbilities();
    MessageService::Instance().Start(config.GetPort(), config.GetWsPort());
    // A service no client can reach only looks alive: it stops, and the service manager's start
    // limit then ends the retries.
    if (!MessageService::Instance().Zmq().IsRunning() &&
        MessageService::Instance().WebSocket().ServerPort() == 0) {
        qCCritical(lcApp).noquote()
            << QStringLiteral(
                   "qorv-utility-service: cannot listen on the ZeroMQ port %1 nor on the WebSocket "
                   "port %2, exiting")
                   .arg(config.GetPort(), config.GetWsPort());
        ServiceNotify::Failed(QStringLiteral("cannot listen on port %1 nor on port %2")
                                  .arg(config.GetPort(), config.GetWsPort()));
        MessageService::Instance().Stop();
        manager.ReleaseAll();
        WorkerPool::Service().Stop();
        return 1;
    }
    // Only a developer's run has the window; building it otherwise would load widgets and fonts
    // that an idle service never uses.
    std::unique_ptr<MainWindow> debugWindow;
    if (config.IsDebugMode()) {
        debugWindow = std::make_unique<MainWindow>();
        ShowDebugWindow(*debugWindow);
    }
    LogStart(config);
    TerminationSignals::QuitOnTermination(&app);
    NotifyServiceManager(config);

    const int code = app.exec();
    MessageService::Instance().Stop();
    manager.ReleaseAll();
    // Work still queued for clients is dropped; the removals the abilities owe run first.
    WorkerPool::Service().Stop();
    return code;
}
