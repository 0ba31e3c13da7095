// The worst round trip of another client while a running service stops an update in its replace
// stage: a WebSocket client sends the update, and once the replace has passed PERCENT it sends
// "stop_update"; a second client keeps asking the hub ("command_abilities") until every file of
// INSTALL is back under its inode of before the update (a stopped replace links the saved files
// back) and none is left over. Then, as the peer, the same pings (and the same checks between them)
// for as long again with nothing running: what the machine itself adds to a round trip.
// Prints "WORST_MS ROUND_TRIPS RESTORE_MS IDLE_WORST_MS" on stdout; exits 1 when the update ended by itself,
// answered after the stop, or the installation did not come back within two minutes.
// Usage: qorv_bench_update_stop WSPORT UPDATE_BODY_JSON INSTALL [PERCENT, default 30]
#include "tests/support/TestEnvelope.h"
#include "tests/support/WsTestClient.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

#include <cstdio>

#include <sys/stat.h>

namespace {

void DropDebug(QtMsgType _type, const QMessageLogContext&, const QString& _qstrText)
{
    if (_type != QtDebugMsg && _type != QtInfoMsg && _type != QtWarningMsg)
        std::fprintf(stderr, "%s\n", qPrintable(_qstrText));
}

// Path below the folder -> inode.
QMap<QString, quint64> Inodes(const QString& _qstrFolder)
{
    QMap<QString, quint64> inodes;
    QDirIterator it(_qstrFolder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat info
        {
        };
        if (::lstat(QFile::encodeName(path).constData(), &info) == 0)
            inodes.insert(path, quint64(info.st_ino));
    }
    return inodes;
}

QJsonObject StatusOf(const JsonCommand& _jsonCommand)
{
    return QJsonDocument::fromJson(_jsonCommand.data.toUtf8()).object();
}

int Fail(const char* _szWhy)
{
    std::fprintf(stderr, "update stop bench: %s\n", _szWhy);
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(DropDebug);
    const QStringList args = app.arguments();
    if (args.size() < 4)
        return Fail("usage: qorv_bench_update_stop WSPORT UPDATE_BODY_JSON INSTALL [PERCENT]");
    const quint16 port = args.at(1).toUShort();
    const QString install = args.at(3);
    const double percent = args.size() > 4 ? args.at(4).toDouble() : 30;
    const QMap<QString, quint64> before = Inodes(install);

    WsTestClient requester(QStringLiteral("bench-updater"), port);
    WsTestClient other(QStringLiteral("bench-other"), port);
    if (!requester.login() || !other.login())
        return Fail("cannot log in");
    const JsonCommand update = makeCommand(QStringLiteral("command"), QStringLiteral("update"), args.at(2));
    requester.send(update);
    const auto replacing = requester.waitFor(
        [&](const JsonCommand& _e) {
            return _e.guid == update.guid &&
                   (_e.error_code != 0 || (StatusOf(_e).value("status") == "replacing" &&
                                           StatusOf(_e).value("percent").toDouble() >= percent));
        },
        600000);
    if (!replacing)
        return Fail("no replace progress");
    if (replacing->error_code != 0)
        return Fail(qPrintable(QStringLiteral("the update ended before its replace was stopped: %1 %2")
                                   .arg(replacing->error_code)
                                   .arg(replacing->error_string)));

    JsonCommand stop = makeCommand(QStringLiteral("command"), QStringLiteral("stop_update"));
    stop.guid = update.guid;
    requester.send(stop);
    QElapsedTimer restore;
    restore.start();
    // One round trip of the other client in ms; negative when unanswered.
    const auto roundTrip = [&other] {
        const JsonCommand ping = makeCommand(QStringLiteral("query"), QStringLiteral("command_abilities"));
        QElapsedTimer trip;
        trip.start();
        other.send(ping);
        if (!other.waitFor([&](const JsonCommand& _e) { return _e.guid == ping.guid; }, 30000))
            return -1.0;
        return trip.nsecsElapsed() / 1e6;
    };
    double worstMs = 0;
    int roundTrips = 0;
    bool restored = false;
    while (!restored && restore.elapsed() < 120000) {
        const double ms = roundTrip();
        if (ms < 0)
            return Fail("no answer to the other client within 30 s");
        worstMs = qMax(worstMs, ms);
        ++roundTrips;
        restored = Inodes(install) == before;
    }
    const qint64 restoreMs = restore.elapsed();
    if (!restored)
        return Fail("the installation did not come back");
    // Nothing for the stopped update: the next result for its guid is a second stop's 104.
    requester.send(stop);
    const QList<JsonCommand> rest = requester.collectUntil(
        update.guid, [](const JsonCommand& _e) { return _e.type == "transfer" && _e.error_code != 0; },
        30000);
    if (rest.isEmpty() || rest.last().command != QLatin1String("stop_update") ||
        rest.last().error_code != 104)
        return Fail("the stopped update answered");
    double idleWorstMs = 0;
    QElapsedTimer idle;
    idle.start();
    while (idle.elapsed() < restoreMs) {
        const double ms = roundTrip();
        if (ms < 0)
            return Fail("no answer to the other client within 30 s");
        idleWorstMs = qMax(idleWorstMs, ms);
        Inodes(install);
    }
    std::printf("%.1f %d %lld %.1f\n", worstMs, roundTrips, restoreMs, idleWorstMs);
    return 0;
}
