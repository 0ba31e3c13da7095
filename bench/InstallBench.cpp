// Times one install task, either through the running service (a WebSocket client sends the
// command to a service started for the purpose, from the command until its result) or with the
// worker alone on this process's event loop (from the start call until its finished signal).
// Prints the seconds on stdout; exits 0 on success, 1 on a failure report.
// Usage: qorv_bench_install service-replace|worker-replace SRC DEST BACKUP
//        qorv_bench_install service-download|worker-download URL FILE MD5
// The service binary comes from QORV_SERVICE_BIN, as for the end-to-end tests.
#include "install/Downloader.h"
#include "install/ReplaceHelper.h"
#include "tests/support/ServiceHarness.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <cstdio>

namespace {

void DropDebug(QtMsgType _type, const QMessageLogContext&, const QString& _qstrText)
{
    if (_type != QtDebugMsg && _type != QtInfoMsg && _type != QtWarningMsg)
        std::fprintf(stderr, "%s\n", qPrintable(_qstrText));
}

int Report(bool _blOk, const QElapsedTimer& _timer, const QString& _qstrError)
{
    const double seconds = _timer.nsecsElapsed() / 1e9;
    if (!_blOk) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(_qstrError));
        return 1;
    }
    std::printf("%.3f\n", seconds);
    return 0;
}

int ThroughService(const QString& _qstrCommand, const QStringList& _listArgs)
{
    ServiceProcess service;
    if (!service.start()) {
        std::fprintf(stderr, "service: %s\n", qPrintable(service.errorString()));
        return 1;
    }
    WsTestClient client(QStringLiteral("bench"), service.wsPort());
    if (!client.login())
        return 1;
    QJsonObject body{{"from", _listArgs.at(0)}, {"to", _listArgs.at(1)}, {"extra", _listArgs.at(2)}};
    JsonCommand command = makeCommand(QStringLiteral("command"), _qstrCommand,
                                      QString::fromUtf8(QJsonDocument(body).toJson(QJsonDocument::Compact)));
    QElapsedTimer timer;
    timer.start();
    client.send(command);
    const QList<JsonCommand> answers = client.collectUntil(
        command.guid,
        [](const JsonCommand& _e) { return _e.type == QLatin1String("transfer") && _e.error_code != 0; },
        600000);
    const bool ok = !answers.isEmpty() && answers.last().error_code == 100;
    const int code =
        Report(ok, timer, answers.isEmpty() ? QStringLiteral("no answer") : answers.last().error_string);
    service.stop();
    return code;
}

int WorkerReplace(const QStringList& _listArgs)
{
    ReplaceHelper helper;
    bool ok = false;
    QString error;
    QObject::connect(
        &helper, &ReplaceHelper::signReplaceFinished, qApp, [&] { ok = true, QCoreApplication::exit(); },
        Qt::QueuedConnection);
    QObject::connect(
        &helper, &ReplaceHelper::signErrorOccurred, qApp,
        [&](const QString& _qstrText) { error = _qstrText, QCoreApplication::exit(); }, Qt::QueuedConnection);
    // Progress goes where the ability would take it: queued to the main thread.
    qint64 reports = 0;
    QObject::connect(
        &helper, &ReplaceHelper::signReplaceProgress, qApp, [&] { ++reports; }, Qt::QueuedConnection);
    QElapsedTimer timer;
    timer.start();
    helper.startReplace(_listArgs.at(0), _listArgs.at(1), QString(), true, _listArgs.at(2),
                        QStringLiteral("bench"));
    QCoreApplication::exec();
    return Report(ok, timer, error);
}

int WorkerDownload(const QStringList& _listArgs)
{
    Downloader downloader;
    bool ok = false;
    QString error;
    QObject::connect(&downloader, &Downloader::signFinished, qApp,
                     [&] { ok = true, QCoreApplication::exit(); });
    QObject::connect(&downloader, &Downloader::signErrorOccurred, qApp,
                     [&](const QString& _qstrText) { error = _qstrText, QCoreApplication::exit(); });
    QElapsedTimer timer;
    timer.start();
    downloader.downloadFile(QUrl(_listArgs.at(0)), _listArgs.at(1), _listArgs.at(2), QStringLiteral("bench"));
    QCoreApplication::exec();
    return Report(ok, timer, error);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() != 4) {
        std::fprintf(stderr,
                     "usage: %s service-replace|worker-replace|service-download|worker-download A B C\n",
                     argv[0]);
        return 2;
    }
    qInstallMessageHandler(DropDebug);
    const QString mode = args.at(0);
    if (mode == QLatin1String("service-replace"))
        return ThroughService(QStringLiteral("replace"), args.mid(1));
    if (mode == QLatin1String("service-download"))
        return ThroughService(QStringLiteral("download"), args.mid(1));
    if (mode == QLatin1String("worker-replace"))
        return WorkerReplace(args.mid(1));
    if (mode == QLatin1String("worker-download"))
        return WorkerDownload(args.mid(1));
    std::fprintf(stderr, "unknown mode %s\n", qPrintable(mode));
    return 2;
}
