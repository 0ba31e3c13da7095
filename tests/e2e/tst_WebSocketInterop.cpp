// Both of our WebSocket ends against Qt's own implementation of the protocol, which shares no
// code with them: the running service with a QWebSocket client, and our client with a
// QWebSocketServer. Qt splits messages over 512 KiB into frames, so joining is checked too.
#include "core/WebSocketClient.h"
#include "tests/support/ServiceHarness.h"

#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

namespace {

// A text of this many bytes, more than one frame of Qt's.
QString LongText(int _nSize)
{
    QString text;
    text.reserve(_nSize + 16);
    for (int i = 0; text.size() < _nSize; ++i)
        text += QString::number(i) + QLatin1Char(',');
    return text;
}

} // namespace

class tst_WebSocketInterop : public QObject
{
    Q_OBJECT
private slots:
    void serviceWithQtClient();
    void clientWithQtServer();
};

void tst_WebSocketInterop::serviceWithQtClient()
{
    ServiceProcess service;
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    WsTestClient ours(QStringLiteral("interop_ours"), service.wsPort());
    QVERIFY(ours.login());

    QWebSocket qt;
    QSignalSpy texts(&qt, &QWebSocket::textMessageReceived);
    QSignalSpy pongs(&qt, &QWebSocket::pong);
    QSignalSpy disconnected(&qt, &QWebSocket::disconnected);
    qt.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(service.wsPort())));
    QTRY_COMPARE_WITH_TIMEOUT(qt.state(), QAbstractSocket::ConnectedState, 10000);
    const JsonCommand login = makeLogin(QStringLiteral("interop_qt"));
    qt.sendTextMessage(QString::fromUtf8(login.ToString()));
    QTRY_COMPARE_WITH_TIMEOUT(texts.count(), 1, 10000);
    JsonCommand answer;
    answer.LoadFromString(texts.at(0).at(0).toString().toUtf8());
    QCOMPARE(answer.guid, login.guid);
    QCOMPARE(answer.error_code, 0);

    qt.ping("still there");
    QVERIFY(pongs.wait(5000));
    QCOMPARE(pongs.at(0).at(1).toByteArray(), QByteArray("still there"));

    // Both ways through the hub, in several frames from Qt's end.
    const JsonCommand toOurs = makeTransfer({QStringLiteral("interop_ours")}, LongText(1536 * 1024));
    qt.sendTextMessage(QString::fromUtf8(toOurs.ToString()));
    const auto arrived = ours.waitFor([&](const JsonCommand& c) { return c.guid == toOurs.guid; }, 20000);
    QVERIFY(arrived);
    QCOMPARE(arrived->data, toOurs.data);
    const JsonCommand toQt = makeTransfer({QStringLiteral("interop_qt")}, QStringLiteral("back"));
    QVERIFY(ours.send(toQt));
    const auto carriesGuid = [&]() {
        return std::any_of(texts.cbegin(), texts.cend(), [&](const QList<QVariant>& _args) {
            return _args.at(0).toString().contains(toQt.guid);
        });
    };
    QTRY_VERIFY_WITH_TIMEOUT(carriesGuid(), 10000);

    qt.close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("bye"));
    QVERIFY(disconnected.count() == 1 || disconnected.wait(5000));
    QCOMPARE(qt.closeCode(), QWebSocketProtocol::CloseCodeNormal);
    QVERIFY(service.isRunning());
}

void tst_WebSocketInterop::clientWithQtServer()
{
    QWebSocketServer server(QStringLiteral("interop"), QWebSocketServer::NonSecureMode);
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QWebSocket* peer = nullptr;
    QList<QString> atServer;
    connect(&server, &QWebSocketServer::newConnection, this, [&]() {
        peer = server.nextPendingConnection();
        connect(peer, &QWebSocket::textMessageReceived, this, [&](const QString& _qstrText) {
            atServer.append(_qstrText);
            peer->sendTextMessage(_qstrText); // back, in frames of 512 KiB
        });
    });

    WebSocketClient client;
    QSignalSpy texts(&client, &WebSocketClient::SignTextMessage);
    QSignalSpy disconnected(&client, &WebSocketClient::SignDisconnected);
    QSignalSpy errors(&client, &WebSocketClient::SignError);
    client.Open(server.serverPort());
    QTRY_VERIFY_WITH_TIMEOUT(client.IsOpen(), 10000);
    QVERIFY(peer);
    QSignalSpy pongs(peer, &QWebSocket::pong);

    const QByteArray text = LongText(1536 * 1024).toUtf8() + "\xC3\xA9";
    QCOMPARE(client.SendText(text), qint64(text.size()));
    QTRY_COMPARE_WITH_TIMEOUT(texts.count(), 1, 20000);
    QCOMPARE(atServer, QList<QString>{QString::fromUtf8(text)});
    QCOMPARE(texts.at(0).at(0).toByteArray(), text);

    peer->ping("ours?");
    QVERIFY(pongs.wait(5000));
    QCOMPARE(pongs.at(0).at(1).toByteArray(), QByteArray("ours?"));

    peer->close(QWebSocketProtocol::CloseCode(4000), QStringLiteral("done here"));
    QVERIFY(disconnected.wait(5000));
    QCOMPARE(client.CloseCode(), quint16(4000));
    QCOMPARE(client.CloseReason(), QStringLiteral("done here"));
    QVERIFY(errors.isEmpty());
}

QTEST_GUILESS_MAIN(tst_WebSocketInterop)
#include "tst_WebSocketInterop.moc"
