// Runs one download with MD5 check the way the service does (Downloader on the main thread's
// event loop, warnings kept, debug lines dropped as at the default log level) and exits
// 0 on success, 1 on an error report.
// With a public key and a signature the file's signature is checked too, as for a signed update.
// Usage: qorv_bench_download URL FILE MD5 [PUBLIC_KEY SIGNATURE]
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
    if (args.size() != 4 && args.size() != 6) {
        std::fprintf(stderr, "usage: %s URL FILE MD5 [PUBLIC_KEY SIGNATURE]\n", argv[0]);
        return 2;
    }
    qInstallMessageHandler(DropDebug);
    Downloader downloader;
    if (args.size() == 6)
        downloader.RequireSignature(args.at(4), args.at(5));
    QObject::connect(&downloader, &Downloader::signFinished, &app, [] { QCoreApplication::exit(0); });
    QObject::connect(&downloader, &Downloader::signErrorOccurred, &app, [](const QString& _qstrText) {
        std::fprintf(stderr, "error: %s\n", qPrintable(_qstrText));
        QCoreApplication::exit(1);
    });
    downloader.downloadFile(QUrl(args.at(1)), args.at(2), args.at(3), QStringLiteral("bench"));
    return app.exec();
}
