#include "tests/e2e/HttpTestServer.h"

#include <QTcpSocket>
#include <QTimer>

#include <memory>

HttpTestServer::HttpTestServer()
{
    m_server.listen(QHostAddress::LocalHost);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection())
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Serve(socket); });
    });
}

QString HttpTestServer::Url(const QString& _qstrPath) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(_qstrPath);
}

void HttpTestServer::Serve(QTcpSocket* _pSocket)
{
    QByteArray& request = m_mapRequests[_pSocket];
    request += _pSocket->readAll();
    if (!request.contains("\r\n\r\n"))
        return;
    const QList<QByteArray> parts = request.left(request.indexOf("\r\n")).split(' ');
    const QString path = parts.size() > 1 ? QString::fromUtf8(parts.at(1)) : QString();
    request.clear();
    const bool slow = path.startsWith(QLatin1String("/slow/"));
    const QString name = path.section(QLatin1Char('/'), 2);
    if ((!slow && !path.startsWith(QLatin1String("/f/"))) || !m_mapBodies.contains(name)) {
        _pSocket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        _pSocket->disconnectFromHost();
        return;
    }
    const QByteArray body = m_mapBodies.value(name);
    _pSocket->write("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                    QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n");
    if (!slow) {
        _pSocket->write(body);
        _pSocket->disconnectFromHost();
        return;
    }
    auto* timer = new QTimer(_pSocket);
    auto sent = std::make_shared<int>(0);
    connect(timer, &QTimer::timeout, _pSocket, [=] {
        if (_pSocket->state() != QAbstractSocket::ConnectedState) {
            timer->stop();
            return;
        }
        const QByteArray piece = body.mid(*sent, 16 * 1024);
        *sent += piece.size();
        _pSocket->write(piece);
        if (*sent >= body.size()) {
            timer->stop();
            _pSocket->disconnectFromHost();
        }
    });
    timer->start(20);
}
