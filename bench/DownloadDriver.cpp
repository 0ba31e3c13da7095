// Runs one download with MD5 check the way the service does (Downloader on the main thread's
// event loop, warnings kept, debug lines dropped as at the default log level) and exits
// 0 on success, 1 on an error report.
// Usage: qorv_bench_download URL FILE MD5
#include "install/Downloader.h"

#include <QCoreApplication>
#include <QUrl>

#include <cstdio>

namespace {

void DropDebug(QtMsgType _type, const QMessageLogContext&, const QString& _qstrText)
{
    if (_type != QtDebugMsg && _type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(_qstrText));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: %s URL FILE MD5\n", argv[0]);
        return 2;
    }
    qInstallMessageHandler(DropDebug);
    Downloader downloader;
    QObject::connect(&downloader, &Downloader::signFinished, &app, [] { QCoreApplication::exit(0); });
    QObject::connect(&downloader, &Downloader::signErrorOccurred, &app, [](const QString& _qstrText) {
        std::fprintf(stderr, "error: %s\n", qPrintable(_qstrText));
        QCoreApplication::exit(1);
    });
    downloader.downloadFile(QUrl(args.at(1)), args.at(2), args.at(3), QStringLiteral("bench"));
    return app.exec();
}
