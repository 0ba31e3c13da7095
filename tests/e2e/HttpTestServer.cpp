#include "tests/e2e/HttpTestServer.h"

#include <QCryptographicHash>
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

QByteArray HttpTestServer::Header(const QByteArray& _baHead, const QByteArray& _baName)
{
    for (const QByteArray& line : _baHead.split('\n'))
        if (line.toLower().startsWith(_baName.toLower() + ':'))
            return line.mid(_baName.size() + 1).trimmed();
    return QByteArray();
}

void HttpTestServer::Serve(QTcpSocket* _pSocket)
{
    QByteArray& request = m_mapRequests[_pSocket];
    request += _pSocket->readAll();
    if (!request.contains("\r\n\r\n"))
        return;
    const QByteArray head = request.left(request.indexOf("\r\n\r\n"));
    const QList<QByteArray> parts = head.left(head.indexOf("\r\n")).split(' ');
    const QString path = parts.size() > 1 ? QString::fromUtf8(parts.at(1)) : QString();
    request.clear();
    m_mapRequestHeads[path].append(head);
    // Only the first response to a "/cut/" path is cut. It is sent in pieces too: a response that
    // ends before the client has even seen its request written makes Qt send the request again.
    const bool cut = path.startsWith(QLatin1String("/cut/")) && m_mapRequestHeads.value(path).size() == 1;
    const bool slow = path.startsWith(QLatin1String("/slow/")) || cut;
    const QString name = path.section(QLatin1Char('/'), 2);
    if ((!path.startsWith(QLatin1String("/slow/")) && !path.startsWith(QLatin1String("/f/")) &&
         !path.startsWith(QLatin1String("/cut/"))) ||
        !m_mapBodies.contains(name)) {
        _pSocket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        _pSocket->disconnectFromHost();
        return;
    }
    const QByteArray whole = m_mapBodies.value(name);
    const QByteArray etag = '"' + QCryptographicHash::hash(whole, QCryptographicHash::Md5).toHex() + '"';
    const QByteArray range = Header(head, "Range");
    const QByteArray ifRange = Header(head, "If-Range");
    int start = 0;
    if (range.startsWith("bytes=") && range.endsWith('-') && (ifRange.isEmpty() || ifRange == etag))
        start = qBound(0, range.mid(6).chopped(1).toInt(), whole.size());
    const QByteArray body = whole.mid(start);
    QByteArray status = "200 OK";
    QByteArray extra;
    if (start > 0) {
        status = "206 Partial Content";
        extra = "Content-Range: bytes " + QByteArray::number(start) + '-' +
                QByteArray::number(whole.size() - 1) + '/' + QByteArray::number(whole.size()) + "\r\n";
    }
    _pSocket->write("HTTP/1.1 " + status + "\r\nContent-Type: application/octet-stream\r\nETag: " + etag +
                    "\r\n" + extra + "Content-Length: " + QByteArray::number(body.size()) +
                    "\r\nConnection: close\r\n\r\n");
    if (!slow) {
        _pSocket->write(body);
        _pSocket->disconnectFromHost();
        return;
    }
    const int end = cut ? body.size() / 2 : body.size();
    auto* timer = new QTimer(_pSocket);
    auto sent = std::make_shared<int>(0);
    connect(timer, &QTimer::timeout, _pSocket, [=] {
        if (_pSocket->state() != QAbstractSocket::ConnectedState) {
            timer->stop();
            return;
        }
        const QByteArray piece = body.mid(*sent, qMin(16 * 1024, end - *sent));
        *sent += piece.size();
        _pSocket->write(piece);
        if (*sent >= end) {
            timer->stop();
            _pSocket->disconnectFromHost();
        }
    });
    timer->start(20);
}
