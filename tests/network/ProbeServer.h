#pragma once

// A small HTTP/1.1 (or, with a certificate, https) server on 127.0.0.1 for the network tests:
//   /ok            200          /status/<code>   that status
//   /hang          accepts the request and never answers
//   /endless       200 with a body announced as 20 GB, sent a kilobyte every 50 ms for ever
// Every other path is a 404. It counts the requests it received per path.

#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

class ProbeServer : public QTcpServer
{
public:
    explicit ProbeServer(const QSslCertificate& _cert = QSslCertificate(), const QSslKey& _key = QSslKey())
        : m_cert(_cert), m_key(_key)
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection())
                Serve(socket);
        });
        listen(QHostAddress::LocalHost, 0);
    }

    QString Url(const QString& _qstrPath) const
    {
        return QStringLiteral("%1://127.0.0.1:%2%3")
            .arg(m_cert.isNull() ? "http" : "https")
            .arg(serverPort())
            .arg(_qstrPath);
    }
    int Hits(const QString& _qstrPath) const { return m_mapHits.value(_qstrPath); }
    int TotalHits() const
    {
        int total = 0;
        for (int n : m_mapHits)
            total += n;
        return total;
    }
    QByteArray LastMethod() const { return m_baLastMethod; }

    // A self-signed certificate for 127.0.0.1 made by openssl in _qstrDir; false without openssl.
    static bool MakeCertificate(const QString& _qstrDir, QSslCertificate& _cert, QSslKey& _key)
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

protected:
    void incomingConnection(qintptr _nSocket) override
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

private:
    void Serve(QTcpSocket* _pSocket)
    {
        connect(_pSocket, &QTcpSocket::disconnected, _pSocket, &QObject::deleteLater);
        auto request = std::make_shared<QByteArray>();
        connect(_pSocket, &QTcpSocket::readyRead, _pSocket, [this, _pSocket, request] {
            request->append(_pSocket->readAll());
            if (!request->contains("\r\n\r\n"))
                return;
            disconnect(_pSocket, &QTcpSocket::readyRead, _pSocket, nullptr);
            const QList<QByteArray> line = request->left(request->indexOf("\r\n")).split(' ');
            const QString path = QString::fromLatin1(line.value(1));
            m_baLastMethod = line.value(0);
            ++m_mapHits[path];
            if (path == QLatin1String("/hang"))
                return;
            if (path == QLatin1String("/endless")) {
                _pSocket->write("HTTP/1.1 200 OK\r\nContent-Length: 21474836480\r\n\r\n");
                auto* drip = new QTimer(_pSocket);
                connect(drip, &QTimer::timeout, _pSocket,
                        [_pSocket] { _pSocket->write(QByteArray(1024, 'x')); });
                drip->start(50);
                return;
            }
            QByteArray status = "404 Not Found";
            if (path == QLatin1String("/ok"))
                status = "200 OK";
            else if (path.startsWith(QLatin1String("/status/")))
                status = path.mid(8).toLatin1() + " Status";
            _pSocket->write("HTTP/1.1 " + status + "\r\nConnection: close\r\nContent-Length: 2\r\n\r\nhi");
            _pSocket->disconnectFromHost();
        });
    }

    QSslCertificate m_cert;
    QSslKey m_key;
    QMap<QString, int> m_mapHits;
    QByteArray m_baLastMethod;
};
