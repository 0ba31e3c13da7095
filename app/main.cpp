#include "app/AbilityFactory.h"
#include "core/AbilityManager.h"
#include "core/Config.h"
#include "core/CrashHandler.h"
#include "core/DebugPrivilege.h"
#include "core/Logger.h"
#include "core/MessageService.h"
#include "core/ProcessMemory.h"
#include "core/SingleInstance.h"
#include "core/TerminationSignals.h"
#include "install/ReplaceJournal.h"
#include "resources/QorvResources.h"

#include <QApplication>
#include <QDebug>
#include <QLocale>
#include <QTranslator>

#include <cstdio>

namespace {

// A widgets application needs a display; on a machine without one it runs offscreen.
void ChooseOffscreenWithoutDisplay()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        std::fprintf(stderr, "qorv-utility-service: no display found, running with the offscreen platform\n");
    }
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
    qWarning().noquote()
        << QStringLiteral(
               "qorv-utility-service %1 started; zeromq %2 (%3); websocket 127.0.0.1:%4 (%5); config %6")
               .arg(QStringLiteral(QORV_VERSION), hub.Zmq().Endpoint(),
                    hub.Zmq().IsRunning() ? QStringLiteral("listening") : QStringLiteral("not listening"),
                    _config.GetWsPort(),
                    hub.WebSocket().ServerPort() ? QStringLiteral("listening")
                                                 : QStringLiteral("not listening"),
                    _config.GetConfigPath());
}

} // namespace

int main(int argc, char* argv[])
{
    ProcessMemory::KeepLargeBlocksApart();
    Logger& logger = Logger::Instance();
    Config& config = Config::Instance();
    ChooseOffscreenWithoutDisplay();
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication app(argc, argv);

    SingleInstance guard(QStringLiteral("qorv-utility-service"));
    if (!guard.TryAcquire())
        return 0;

    InitQorvResources();
    QTranslator translator;
    InstallTranslation(app, translator);
    EnableDebugPrivilege();
    config.Load(Config::DefaultPath());
    logger.SetLimits(config.GetMaxLogFileBytes(), config.GetMaxLogTotalBytes());
    logger.Init(config.GetLogLevel(), config.GetFolder());
    logger.InstallHandler();
    // Undo replaces that a crash cut short before any client can start a new one.
    ReplaceJournal::RollBackInterruptedRuns();

    AbilityManager::SetFactory(CreateQorvAbility);
    AbilityManager& manager = AbilityManager::Instance();
    manager.RegistAbilities();
    MessageService::Instance().Start(config.GetPort(), config.GetWsPort());
    CrashHandler::Install(Logger::DumpFolder(config.GetFolder()));
    LogStart(config);
    TerminationSignals::QuitOnTermination(&app);

    const int code = app.exec();
    MessageService::Instance().Stop();
    manager.ReleaseAll();
    return code;
}
