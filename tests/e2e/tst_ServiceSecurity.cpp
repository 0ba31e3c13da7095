#include "tests/support/ServiceHarness.h"
#include "tests/support/FileMode.h"
#include "tests/support/TestFiles.h"

#include <QtTest>

#include <unistd.h>

// Attacks on the running service from this machine: another user on the ZeroMQ port, an HTTP
// request read as legacy ZeroMQ frames, a client that never reads its answers, floods of
// refused WebSocket connections.
class tst_ServiceSecurity : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void strangerIsRefusedBeforeAnythingIsHandled();
    void strangerCannotTakeOverALoggedInName();
    void httpRequestShapedAsLegacyFramesStartsNothing();
    void clientThatNeverReadsCannotGrowTheService();
    void clientWithManyRequestsInFlightReceivesEveryAnswer();
    void refusedWebSocketConnectionsCannotFloodTheLog_data();
    void refusedWebSocketConnectionsCannotFloodTheLog();
    void logIsReadableByTheUserAlone();
    void plantedLockFolder_data();
    void plantedLockFolder();

private:
    // Runs the peer tool (as nobody when _blStranger) and returns what it printed.
    QString RunPeer(const QStringList& _listArgs, bool _blStranger);
    // A script that creates _qstrMarker when started.
    QString MarkerScript(const QString& _qstrMarker);
    static qint64 ResidentBytes(qint64 _nPid);

    std::unique_ptr<ServiceProcess> m_service;
    QTemporaryDir m_toolDir;
    QString m_qstrTool;
};

void tst_ServiceSecurity::initTestCase()
{
    m_service = std::make_unique<ServiceProcess>();
    QVERIFY2(m_service->start(), qPrintable(m_service->errorString()));
    // A copy that another user may run, wherever the build folder lies.
    m_qstrTool = m_toolDir.path() + "/qorv_zmq_peer";
    QVERIFY(QFile::copy(QCoreApplication::applicationDirPath() + "/qorv_zmq_peer", m_qstrTool));
    QFile(m_toolDir.path())
        .setPermissions(QFile::permissions(m_toolDir.path()) | QFile::ExeOther | QFile::ReadOther);
}

void tst_ServiceSecurity::cleanupTestCase()
{
    m_service.reset();
}

QString tst_ServiceSecurity::RunPeer(const QStringList& _listArgs, bool _blStranger)
{
    QProcess peer;
    if (_blStranger)
        peer.start("setpriv",
                   QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", m_qstrTool} + _listArgs);
    else
        peer.start(m_qstrTool, _listArgs);
    if (!peer.waitForFinished(60000))
        return QString();
    return QString::fromUtf8(peer.readAllStandardOutput()).trimmed();
}

QString tst_ServiceSecurity::MarkerScript(const QString& _qstrMarker)
{
    const QString path = m_service->root() + "/" + QFileInfo(_qstrMarker).fileName() + ".sh";
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly))
        return QString();
    script.write("#!/bin/sh\ntouch '" + _qstrMarker.toUtf8() + "'\n");
    script.close();
    script.setPermissions(script.permissions() | QFile::ExeOwner);
    return path;
}

qint64 tst_ServiceSecurity::ResidentBytes(qint64 _nPid)
{
    QFile status(QString("/proc/%1/status").arg(_nPid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpressionMatch match =
        QRegularExpression("VmRSS:\\s+(\\d+) kB").match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toLongLong() * 1024 : -1;
}

void tst_ServiceSecurity::strangerIsRefusedBeforeAnythingIsHandled()
{
    if (getuid() != 0)
        QSKIP("running a client as another user needs root");
    ZmqTestClient victim("victim", m_service->zmqPort());
    QVERIFY(victim.login());
    const QString marker = m_service->root() + "/stranger-ran";
    const QString port = QString::number(m_service->zmqPort());
    const QStringList bodies{makeLogin("intruder").ToString(),
                             makeTransfer({"victim"}, "from a stranger").ToString(),
                             makeCommand("command", "start_proc", MarkerScript(marker)).ToString()};
    QCOMPARE(RunPeer(QStringList{"send", port, "intruder", "2000"} + bodies, true), QString("received 0"));
    QVERIFY(m_service->waitForLog("connection of another user refused, uid: 65534"));
    QVERIFY(m_service->logText().contains("[W]:"));

    // The same requests from this user's own program are handled; by then the stranger's would
    // have been too.
    const QString ownMarker = m_service->root() + "/own-ran";
    QVERIFY(RunPeer({"send", port, "friend", "500",
                     makeCommand("command", "start_proc", MarkerScript(ownMarker)).ToString()},
                    false)
                .startsWith("received "));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(ownMarker), 15000);
    QVERIFY(!QFile::exists(marker));
    QVERIFY(!victim.receive(200));
    QVERIFY(!m_service->logText().contains("intruder"));
}

void tst_ServiceSecurity::strangerCannotTakeOverALoggedInName()
{
    if (getuid() != 0)
        QSKIP("running a client as another user needs root");
    ZmqTestClient victim("held-name", m_service->zmqPort());
    ZmqTestClient sender("sender", m_service->zmqPort());
    QVERIFY(victim.login());
    QVERIFY(sender.login());
    QProcess intruder;
    intruder.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", m_qstrTool, "hijack",
                               QString::number(m_service->zmqPort()), "held-name", "6000"});
    QVERIFY(intruder.waitForStarted());
    QVERIFY(m_service->waitForLog("connection of another user refused, uid: 65534"));

    // Transfers keep flowing both ways while the intruder knocks again and again.
    const int kCount = 300;
    int received = 0;
    for (int i = 0; i < kCount && intruder.state() == QProcess::Running; ++i) {
        QVERIFY(sender.send(makeTransfer({"held-name"}, QString::number(i))));
        const auto got = victim.waitFor([](const JsonCommand& e) { return e.type == "transfer"; }, 10000);
        QVERIFY2(got, qPrintable(QString("transfer %1 lost").arg(i)));
        QCOMPARE(got->data, QString::number(i));
        ++received;
        QVERIFY(victim.send(makeTransfer({"sender"}, "ack")));
        QVERIFY(sender.waitFor([](const JsonCommand& e) { return e.type == "transfer"; }, 10000));
    }
    QVERIFY(received > 0);
    QVERIFY(intruder.waitForFinished(30000));
    QCOMPARE(QString::fromUtf8(intruder.readAllStandardOutput()).trimmed(), QString("received 0"));
    // Knock after knock, refused each time, and the log says so once a minute with the count.
    const QString log = m_service->logText();
    QVERIFY2(log.count("connection of another user refused, uid: 65534") <= 2,
             qPrintable(QString::number(log.count("connection of another user refused, uid: 65534"))));
    QVERIFY(log.contains("connection of another user refused, uid: 65534; refused since the last line: 1"));
}

// The bytes a browser sends for a cross-origin "no-cors" POST, laid out so that a peer still
// speaking the greeting-less framing reads the header lines as junk frames that end exactly where
// the body starts, and the body as a length frame and an envelope.
static QByteArray LegacyFramedPost(quint16 _nPort, const QByteArray& _baEnvelope)
{
    QByteArray body;
    const QByteArray length = QByteArray::number(_baEnvelope.size());
    body += char(length.size() + 1) + QByteArray(1, '\x01') + length; // more frames follow
    body += QByteArray(1, '\xff');
    for (int shift = 56; shift >= 0; shift -= 8)
        body += char(((_baEnvelope.size() + 1LL) >> shift) & 0xff);
    body += QByteArray(1, '\0') + _baEnvelope;
    for (int pad = 0; pad < 512; ++pad) {
        const QByteArray head =
            "POST /collect HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(_nPort) +
            "\r\nOrigin: http://attacker.example\r\nContent-Type: text/plain;charset=UTF-8\r\n"
            "X-Pad: " +
            QByteArray(pad, 'a') + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
        int pos = 0;
        int last = 0;
        while (pos < head.size()) {
            last = pos;
            pos += 1 + static_cast<unsigned char>(head.at(pos));
        }
        // The last junk frame must end its message, so the length frame starts a new one.
        if (pos == head.size() && last > 0 && (head.at(last + 1) & 1) == 0)
            return head + body;
    }
    return QByteArray();
}

void tst_ServiceSecurity::httpRequestShapedAsLegacyFramesStartsNothing()
{
    const QString marker = m_service->root() + "/page-ran";
    const QByteArray request = LegacyFramedPost(
        m_service->zmqPort(), makeCommand("command", "start_proc", MarkerScript(marker)).ToString());
    QVERIFY(!request.isEmpty());
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_service->zmqPort());
    QVERIFY(socket.waitForConnected(5000));
    socket.write(request);
    QVERIFY(socket.waitForBytesWritten(5000));
    // The service hangs up on the legacy framing.
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 10000);

    const QString ownMarker = m_service->root() + "/after-page";
    ZmqTestClient own("own", m_service->zmqPort());
    QVERIFY(own.send(makeCommand("command", "start_proc", MarkerScript(ownMarker))));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(ownMarker), 15000);
    QVERIFY(!QFile::exists(marker));
}

void tst_ServiceSecurity::clientThatNeverReadsCannotGrowTheService()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    QSKIP("a sanitizer's allocator keeps freed memory on purpose");
#endif
    const qint64 kMiB = 1024 * 1024;
    const qint64 before = ResidentBytes(m_service->pid());
    QVERIFY(before > 0);
    QProcess flood;
    flood.start(m_qstrTool,
                {"flood", QString::number(m_service->zmqPort()), "glutton", "700", QString::number(kMiB)});
    QVERIFY(flood.waitForStarted());
    QVERIFY(flood.waitForReadyRead(300000));
    // The service has read every request once its answers stop being queued.
    QVERIFY(m_service->waitForLog("unsent bytes over the limit, messages dropped: \"glutton\"", 120000));
    ZmqTestClient probe("probe", m_service->zmqPort());
    QVERIFY(probe.login({}, 120000));
    const qint64 peak = ResidentBytes(m_service->pid());
    QVERIFY2(peak - before < (256 + 96) * kMiB,
             qPrintable(QString("grew by %1 MiB").arg((peak - before) / kMiB)));

    flood.closeWriteChannel();
    QVERIFY(flood.waitForFinished(30000));
    // Once the client has gone, what was held for it is given back.
    QTRY_VERIFY2_WITH_TIMEOUT(
        ResidentBytes(m_service->pid()) - before < 64 * kMiB,
        qPrintable(
            QString("still %1 MiB above the start").arg((ResidentBytes(m_service->pid()) - before) / kMiB)),
        30000);
}

void tst_ServiceSecurity::clientWithManyRequestsInFlightReceivesEveryAnswer()
{
    ZmqTestClient busy("busy", m_service->zmqPort());
    QVERIFY(busy.login());
    const int kCount = 10000;
    for (int i = 0; i < kCount; ++i)
        QVERIFY(busy.send(makeCommand("query", "command_abilities")));
    for (int i = 0; i < kCount; ++i) {
        const auto answer = busy.receive(30000);
        QVERIFY2(answer, qPrintable(QString("answer %1 missing").arg(i)));
        QCOMPARE(answer->type, QString("query_ret"));
    }
}

void tst_ServiceSecurity::refusedWebSocketConnectionsCannotFloodTheLog_data()
{
    QTest::addColumn<bool>("stranger");
    QTest::addColumn<QString>("request"); // written on each connection; %1: the port
    QTest::addColumn<QString>("line");
    QTest::newRow("another user's connections")
        << true << QString() << "WebSocket_Server::SlotNewConnection:peer belongs to another user, closed:";
    // What a web page the user opens can do: its origin is not allowed.
    QTest::newRow("a web page's handshakes")
        << false
        << "GET / HTTP/1.1\\r\\nHost: 127.0.0.1:%1\\r\\nOrigin: https://evil.example\\r\\n"
           "Upgrade: websocket\\r\\nConnection: Upgrade\\r\\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\\r\\nSec-WebSocket-Version: 13\\r\\n\\r\\n"
        << "WebSocket_Server::SlotHandshakeData:handshake refused: origin not allowed:";
}

void tst_ServiceSecurity::refusedWebSocketConnectionsCannotFloodTheLog()
{
    QFETCH(bool, stranger);
    QFETCH(QString, request);
    QFETCH(QString, line);
    if (stranger && getuid() != 0)
        QSKIP("running a client as another user needs root");
    const int kConnections = 3000;
    const QString port = QString::number(m_service->wsPort());
    // One connection after the other, each waiting for the service's answer or hang-up, so every
    // one of them has been refused when the loop ends.
    QString script = QString("trap '' PIPE; for i in $(seq %1); do exec 3<>/dev/tcp/127.0.0.1/%2 || exit 3; ")
                         .arg(kConnections)
                         .arg(port);
    if (!request.isEmpty())
        script += "printf '" + request.arg(port) + "' >&3 2>/dev/null; ";
    script += "read -t 5 -r reply <&3; exec 3<&-; done";
    QProcess flood;
    QStringList command{"/bin/bash", "-c", script};
    if (stranger)
        command = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} + command;
    flood.start(command.takeFirst(), command);
    QVERIFY(flood.waitForFinished(300000));
    QCOMPARE(flood.exitCode(), 0);
    QVERIFY(m_service->waitForLog(line));
    WsTestClient own("after-flood", m_service->wsPort());
    QVERIFY(own.login());
    // The first refusal at once; the rest wait for the end of the minute, counted in one line.
    const QString log = m_service->logText();
    QVERIFY2(log.count(line) <= 2, qPrintable(QString::number(log.count(line))));
    QVERIFY(log.contains(
        QRegularExpression(QRegularExpression::escape(line) + ".*; refused since the last line: 1\\r?\\n")));
}

void tst_ServiceSecurity::logIsReadableByTheUserAlone()
{
    // Every envelope is logged, screenshots and all.
    const QString folder = m_service->dataRoot() + "/log";
    QCOMPARE(FileMode(folder), 0700u);
    const QStringList logs = QDir(folder).entryList({"*.log"}, QDir::Files);
    QVERIFY(!logs.isEmpty());
    for (const QString& log : logs)
        QCOMPARE(FileMode(folder + "/" + log), 0600u);
}

void tst_ServiceSecurity::plantedLockFolder_data()
{
    QTest::addColumn<QString>("planted");
    QTest::addColumn<bool>("starts");
    // Where the lock once fell back without a runtime folder: held there by another user.
    QTest::newRow("held in the shared temporary folder") << "shared" << true;
    QTest::newRow("the private lock folder is another user's") << "cache" << false;
}

void tst_ServiceSecurity::plantedLockFolder()
{
    if (::geteuid() != 0)
        QSKIP("planting as another user needs root");
    QFETCH(QString, planted);
    QFETCH(bool, starts);
    ServiceProcess service;
    service.setEnvironment("XDG_RUNTIME_DIR", "");
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    service.stop();
    service.shareTemporaryFolder();
    QProcess holder;
    if (planted == "shared") {
        const QString folder = service.root() + QString("/tmp/qorv-utility-service-%1").arg(::getuid());
        holder.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c",
                                 "umask 0 && mkdir -p '" + folder + "' && exec flock '" + folder +
                                     "/qorv-utility-service.lock' sleep 60"});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(folder + "/qorv-utility-service.lock"), 10000);
    } else {
        const QString folder = service.root() + "/.cache/qorv-utility-service";
        QVERIFY(::chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0);
    }
    QCOMPARE(service.restart(starts ? 30000 : 10000), starts);
    if (!starts) {
        QCOMPARE(service.stop(), 1);
        const QString line = "SingleInstance:the instance lock cannot be used safely, not starting:";
        QVERIFY(service.consoleText().contains(line));
        QVERIFY(service.logText().contains("[C]:"));
        QVERIFY(service.logText().contains(line));
    }
    holder.kill();
    holder.waitForFinished();
}

QTEST_MAIN(tst_ServiceSecurity)
#include "tst_ServiceSecurity.moc"
