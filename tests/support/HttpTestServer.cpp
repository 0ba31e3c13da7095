#include "tests/support/HttpTestServer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <memory>

namespace {

constexpr int kPieceBytes = 16 * 1024;

// A response with a short body, after which the connection closes.
void Send(QTcpSocket* _pSocket, const QByteArray& _baStatus, const QByteArray& _baHeaders,
          const QByteArray& _baBody)
{
    _pSocket->write("HTTP/1.1 " + _baStatus + "\r\nConnection: close\r\n" + _baHeaders +
                    "Content-Length: " + QByteArray::number(_baBody.size()) + "\r\n\r\n" + _baBody);
    _pSocket->disconnectFromHost();
}

} // namespace

HttpTestServer::HttpTestServer(const QSslCertificate& _cert, const QSslKey& _key) : m_cert(_cert), m_key(_key)
{
    m_clock.start();
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = nextPendingConnection())
            Serve(socket);
    });
    listen(QHostAddress::LocalHost, 0);
}

bool HttpTestServer::MakeCertificate(const QString& _qstrDir, QSslCertificate& _cert, QSslKey& _key)
{
    QProcess openssl;
    openssl.setWorkingDirectory(_qstrDir);
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                   "-keyout", "key.pem", "-out", "cert.pem", "-days", "2", "-subj", "/CN=127.0.0.1",
                   "-addext", "subjectAltName=IP:127.0.0.1"});
    if (!QSslSocket::supportsSsl() || !openssl.waitForFinished(30000) || openssl.exitCode() != 0)
        return false;
    const QList<QSslCertificate> certs = QSslCertificate::fromPath(QDir(_qstrDir).filePath("cert.pem"));
    QFile keyFile(QDir(_qstrDir).filePath(QStringLiteral("key.pem")));
    if (certs.isEmpty() || !keyFile.open(QIODevice::ReadOnly))
        return false;
    _cert = certs.first();
    _key = QSslKey(&keyFile, QSsl::Ec);
    return !_key.isNull();
}

QByteArray HttpTestServer::Pattern(qint64 _nSize)
{
    static QMap<qint64, QByteArray> s_mapBodies;
    if (s_mapBodies.contains(_nSize))
        return s_mapBodies.value(_nSize);
    QByteArray data(static_cast<int>(_nSize), Qt::Uninitialized);
    char* bytes = data.data();
    for (qint64 i = 0; i < _nSize; ++i)
        bytes[i] = static_cast<char>((i * 31 + (i >> 9)) & 0xff);
    s_mapBodies.insert(_nSize, data);
    return data;
}

QByteArray HttpTestServer::Header(const QByteArray& _baHead, const QByteArray& _baName)
{
    for (const QByteArray& line : _baHead.split('\n'))
        if (line.toLower().startsWith(_baName.toLower() + ':'))
            return line.mid(_baName.size() + 1).trimmed();
    return QByteArray();
}

QString HttpTestServer::Url(const QString& _qstrTarget) const
{
    return QStringLiteral("%1://127.0.0.1:%2%3")
        .arg(m_cert.isNull() ? "http" : "https")
        .arg(serverPort())
        .arg(_qstrTarget);
}

QList<QByteArray> HttpTestServer::Requests() const
{
    QList<QByteArray> heads;
    for (const Request& request : m_listRequests)
        heads.append(request.head);
    return heads;
}

QList<QByteArray> HttpTestServer::Requests(const QString& _qstrTarget) const
{
    QList<QByteArray> heads;
    for (const Request& request : m_listRequests)
        if (request.target == _qstrTarget)
            heads.append(request.head);
    return heads;
}

QByteArray HttpTestServer::LastMethod() const
{
    return m_listRequests.isEmpty() ? QByteArray() : m_listRequests.last().head.split(' ').value(0);
}

QList<qint64> HttpTestServer::RequestTimes() const
{
    QList<qint64> times;
    for (const Request& request : m_listRequests)
        times.append(request.atMs);
    return times;
}

void HttpTestServer::Reset()
{
    m_listRequests.clear();
    m_nBodyBytesSent = 0;
}

void HttpTestServer::incomingConnection(qintptr _nSocket)
{
    if (m_cert.isNull())
        return QTcpServer::incomingConnection(_nSocket);
    auto* socket = new QSslSocket(this);
    socket->setSocketDescriptor(_nSocket);
    socket->setLocalCertificate(m_cert);
    socket->setPrivateKey(m_key);
    socket->startServerEncryption();
    addPendingConnection(socket);
}

void HttpTestServer::Serve(QTcpSocket* _pSocket)
{
    connect(_pSocket, &QTcpSocket::disconnected, _pSocket, &QObject::deleteLater);
    auto request = std::make_shared<QByteArray>();
    connect(_pSocket, &QTcpSocket::readyRead, _pSocket, [this, _pSocket, request] {
        request->append(_pSocket->readAll());
        if (!request->contains("\r\n\r\n"))
            return;
        disconnect(_pSocket, &QTcpSocket::readyRead, _pSocket, nullptr);
        const QByteArray head = request->left(request->indexOf("\r\n\r\n"));
        const QString target = QString::fromLatin1(head.left(head.indexOf("\r\n")).split(' ').value(1));
        m_listRequests.append({target, head, m_clock.elapsed()});
        Respond(_pSocket, target, head);
    });
}

void HttpTestServer::Respond(QTcpSocket* _pSocket, const QString& _qstrTarget, const QByteArray& _baHead)
{
    const QUrl url(_qstrTarget);
    const QUrlQuery query(url);
    const QString path = url.path();
    // Responses already given to this very target.
    const int served = Hits(_qstrTarget) - 1;
    const QString name = path.section(QLatin1Char('/'), 2);
    const bool named = path.startsWith(QLatin1String("/f/")) || path.startsWith(QLatin1String("/slow/")) ||
                       path.startsWith(QLatin1String("/cut/"));
    if (path == QLatin1String("/redirect")) {
        // The body of a followed redirect must not end up in the file.
        Send(_pSocket, "302 Found",
             "Location: " + query.queryItemValue("to", QUrl::FullyDecoded).toUtf8() + "\r\n",
             "moved elsewhere");
    } else if (path == QLatin1String("/redirect-noloc")) {
        Send(_pSocket, "302 Found", QByteArray(), "moved");
    } else if (path.startsWith(QLatin1String("/status/"))) {
        Send(_pSocket, path.mid(8).toLatin1() + " Status", QByteArray(), "error page");
    } else if (path == QLatin1String("/ok")) {
        Send(_pSocket, "200 OK", QByteArray(), "hi");
    } else if (path == QLatin1String("/hang")) {
        return;
    } else if (path == QLatin1String("/endless")) {
        _pSocket->write("HTTP/1.1 200 OK\r\nContent-Length: 21474836480\r\n\r\n");
        auto* drip = new QTimer(_pSocket);
        connect(drip, &QTimer::timeout, _pSocket, [_pSocket] { _pSocket->write(QByteArray(1024, 'x')); });
        drip->start(50);
    } else if (path == QLatin1String("/data")) {
        const QByteArray whole = Pattern(query.queryItemValue("n").toLongLong());
        QByteArray validator = "ETag: \"n-" + QByteArray::number(whole.size()) + "\"";
        if (query.hasQueryItem("newetag"))
            validator = "ETag: \"v" + QByteArray::number(served) + "\"";
        else if (query.hasQueryItem("lastmod"))
            validator = "Last-Modified: Tue, 01 Oct 2024 10:00:00 GMT";
        else if (query.hasQueryItem("novalidator"))
            validator.clear();
        Pacing pacing;
        pacing.withLength = !query.hasQueryItem("nolen");
        pacing.pieceIntervalMs = query.queryItemValue("slow").toInt();
        if (query.hasQueryItem("stall"))
            pacing.stallAfter = query.queryItemValue("stall").toLongLong();
        if (query.hasQueryItem("cut") &&
            (!query.hasQueryItem("cuts") || served < query.queryItemValue("cuts").toInt()))
            pacing.cutAfter = query.queryItemValue("cut").toLongLong();
        SendBody(_pSocket, whole, validator, _baHead, url, pacing);
    } else if (named && m_mapBodies.contains(name)) {
        const QByteArray whole = m_mapBodies.value(name);
        Pacing pacing;
        // Only the first response to a "/cut/" path is cut. It is sent in pieces too: a response
        // that ends before the client has even seen its request written makes Qt send it again.
        const bool cut = path.startsWith(QLatin1String("/cut/")) && served == 0;
        if (cut || path.startsWith(QLatin1String("/slow/")))
            pacing.pieceIntervalMs = 20;
        pacing.cutHalfWay = cut;
        SendBody(_pSocket, whole,
                 "ETag: \"" + QCryptographicHash::hash(whole, QCryptographicHash::Md5).toHex() + '"', _baHead,
                 url, pacing);
    } else {
        Send(_pSocket, "404 Not Found", QByteArray(), "no such path");
    }
}

void HttpTestServer::SendBody(QTcpSocket* _pSocket, const QByteArray& _baWhole,
                              const QByteArray& _baValidator, const QByteArray& _baHead, const QUrl& _url,
                              const Pacing& _pacing)
{
    const QUrlQuery query(_url);
    const QByteArray range = Header(_baHead, "Range");
    const QByteArray ifRange = Header(_baHead, "If-Range");
    qint64 start = 0;
    if (range.startsWith("bytes=") && range.endsWith('-') && !query.hasQueryItem("norange") &&
        (ifRange.isEmpty() || _baValidator.endsWith(": " + ifRange)))
        start = qBound<qint64>(0, range.mid(6).chopped(1).toLongLong(), _baWhole.size());
    if (start > 0 && query.hasQueryItem("range416")) {
        Send(_pSocket, "416 Range Not Satisfiable", QByteArray(), "no");
        return;
    }
    const qint64 from = query.hasQueryItem("badrange") ? start - 1 : start;
    QByteArray head = start > 0
                          ? "HTTP/1.1 206 Partial Content\r\nConnection: close\r\nContent-Range: bytes " +
                                QByteArray::number(from) + '-' + QByteArray::number(_baWhole.size() - 1) +
                                '/' + QByteArray::number(_baWhole.size()) + "\r\n"
                          : QByteArray("HTTP/1.1 200 OK\r\nConnection: close\r\n");
    if (!_baValidator.isEmpty())
        head += _baValidator + "\r\n";
    const QByteArray body = _baWhole.mid(static_cast<int>(from));
    if (_pacing.withLength)
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    _pSocket->write(head + "\r\n");
    if (_pacing.stallAfter >= 0) {
        Write(_pSocket, body.left(static_cast<int>(_pacing.stallAfter)));
        return;
    }
    const qint64 end = _pacing.cutHalfWay ? body.size() / 2 : _pacing.cutAfter;
    const QByteArray part = end >= 0 ? body.left(static_cast<int>(end)) : body;
    if (_pacing.pieceIntervalMs > 0) {
        SendSlowly(_pSocket, part, _pacing.pieceIntervalMs);
        return;
    }
    Write(_pSocket, part);
    _pSocket->disconnectFromHost();
}

void HttpTestServer::Write(QTcpSocket* _pSocket, const QByteArray& _baBody)
{
    m_nBodyBytesSent += _baBody.size();
    _pSocket->write(_baBody);
}

void HttpTestServer::SendSlowly(QTcpSocket* _pSocket, const QByteArray& _baBody, int _nIntervalMs)
{
    auto* timer = new QTimer(_pSocket);
    auto sent = std::make_shared<int>(0);
    connect(timer, &QTimer::timeout, _pSocket, [this, _pSocket, timer, sent, _baBody] {
        Write(_pSocket, _baBody.mid(*sent, kPieceBytes));
        *sent += kPieceBytes;
        if (*sent >= _baBody.size()) {
            timer->stop();
            _pSocket->disconnectFromHost();
        }
    });
    timer->start(_nIntervalMs);
}
