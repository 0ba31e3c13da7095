// Runs one extraction the way the service does (worker thread, queued signals into an event loop,
// lines formatted and handed to a handler as in the service) so that time and peak memory can be
// measured. Only critical lines reach the terminal.
// Usage: qorv_bench_unzip 1|2 ARCHIVE DEST    (first or second engine)
//        qorv_bench_unzip idle                (same process, no extraction: the baseline size)
#include "install/ZlibHelper.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

static void CriticalOnly(QtMsgType _type, const QMessageLogContext&, const QString& _qstrText)
{
    if (_type == QtCriticalMsg || _type == QtFatalMsg)
        fprintf(stderr, "%s\n", qUtf8Printable(_qstrText));
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(CriticalOnly);
    const QStringList args = app.arguments();
    ZlibHelper helper;
    if (args.size() == 2 && args[1] == "idle") {
        QTimer::singleShot(200, &app, &QCoreApplication::quit);
        return app.exec();
    }
    if (args.size() != 4 || (args[1] != "1" && args[1] != "2")) {
        fprintf(stderr, "usage: %s 1|2 ARCHIVE DEST | idle\n", argv[0]);
        return 2;
    }
    int code = 1;
    qint64 last = -1;
    QObject::connect(
        &helper, &ZlibHelper::signUnzipProgress, &app,
        [&last](qint64 _nDone, qint64, const QString&) { last = _nDone; }, Qt::QueuedConnection);
    QObject::connect(
        &helper, &ZlibHelper::signUnzipFinished, &app,
        [&] {
            code = 0;
            app.quit();
        },
        Qt::QueuedConnection);
    QObject::connect(
        &helper, &ZlibHelper::signErrorOccurred, &app,
        [&](const QString& _qstrText, const QString&) {
            fprintf(stderr, "error: %s\n", qUtf8Printable(_qstrText));
            app.quit();
        },
        Qt::QueuedConnection);
    if (args[1] == "1")
        helper.startUnzip(args[2], args[3], "bench");
    else
        helper.startUnzipV2(args[2], args[3] + "/", "bench");
    app.exec();
    helper.CancelUnzipTask();
    if (code == 0 && last < 0)
        code = 1;
    return code;
}
