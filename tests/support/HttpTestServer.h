#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QTcpServer>

class QTcpSocket;
class QUrl;

// A small HTTP/1.1 server on 127.0.0.1 (https with a certificate and key) that answers from the
// request target, one request per connection:
//   /f/<name>         a body registered with Add(), with an MD5 ETag
//   /slow/<name>      the same in 16 KiB pieces every 20 ms
//   /cut/<name>       the first response like /slow/ but closed half way, later ones like /f/
//   /data?n=N         N patterned bytes (Pattern(N)) with the ETag "n-N"; options:
//       nolen         no Content-Length         slow=MS   16 KiB pieces every MS ms
//       cut=K         closed after K body bytes (only the first C responses to it with cuts=C)
//       stall=K       held open after K body bytes
//       lastmod       a Last-Modified instead of the ETag, novalidator neither, newetag a new
//                     ETag in every response (a file that keeps changing)
//       norange       ranges ignored, badrange answered a byte early, range416 refused
//   /redirect?to=URL  302 to URL            /redirect-noloc   302 without Location
//   /status/<code>    that status           /ok               200
//   /hang             the request accepted and never answered
//   /endless          200 with a body announced as 20 GB, a kilobyte every 50 ms for ever
// Anything else is a 404. Bodies answer "Range: bytes=N-" with a 206 from N on unless an If-Range
// names another validator. Every request head is kept, with the time it arrived.
class HttpTestServer : public QTcpServer
{
public:
    explicit HttpTestServer(const QSslCertificate& _cert = QSslCertificate(),
                            const QSslKey& _key = QSslKey());

    // A self-signed certificate for 127.0.0.1 made by openssl in _qstrDir; false without openssl.
    static bool MakeCertificate(const QString& _qstrDir, QSslCertificate& _cert, QSslKey& _key);
    // The bytes /data?n=N serves, made once per size: making megabytes in a sanitizer build takes
    // longer than a downloader's stall bound.
    static QByteArray Pattern(qint64 _nSize);
    // A header of a request head, empty when absent.
    static QByteArray Header(const QByteArray& _baHead, const QByteArray& _baName);

    void Add(const QString& _qstrName, const QByteArray& _baBody) { m_mapBodies.insert(_qstrName, _baBody); }
    QString Url(const QString& _qstrTarget) const;

    // The heads of every request, or of those for one target, in order of arrival.
    QList<QByteArray> Requests() const;
    QList<QByteArray> Requests(const QString& _qstrTarget) const;
    int Hits(const QString& _qstrTarget) const { return Requests(_qstrTarget).size(); }
    int TotalHits() const { return m_listRequests.size(); }
    QByteArray LastMethod() const;
    // When each request arrived, in milliseconds of a monotonic clock.
    QList<qint64> RequestTimes() const;
    // Body bytes written into sockets, over every response.
    qint64 BodyBytesSent() const { return m_nBodyBytesSent; }
    // Forgets the requests and the bytes sent.
    void Reset();

protected:
    void incomingConnection(qintptr _nSocket) override;

private:
    struct Request
    {
        QString target;
        QByteArray head;
        qint64 atMs;
    };
    // How a body goes out: at once or in pieces, whole or cut, closed or held open.
    struct Pacing
    {
        int pieceIntervalMs = 0;
        qint64 cutAfter = -1;
        bool cutHalfWay = false;
        qint64 stallAfter = -1;
        bool withLength = true;
    };

    void Serve(QTcpSocket* _pSocket);
    void Respond(QTcpSocket* _pSocket, const QString& _qstrTarget, const QByteArray& _baHead);
    void SendBody(QTcpSocket* _pSocket, const QByteArray& _baWhole, const QByteArray& _baValidator,
                  const QByteArray& _baHead, const QUrl& _url, const Pacing& _pacing);
    void Write(QTcpSocket* _pSocket, const QByteArray& _baBody);
    void SendSlowly(QTcpSocket* _pSocket, const QByteArray& _baBody, int _nIntervalMs);

    QSslCertificate m_cert;
    QSslKey m_key;
    QMap<QString, QByteArray> m_mapBodies;
    QList<Request> m_listRequests;
    qint64 m_nBodyBytesSent = 0;
    QElapsedTimer m_clock;
};
