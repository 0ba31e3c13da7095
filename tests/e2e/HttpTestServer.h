#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

// A small HTTP/1.1 server on 127.0.0.1 for download tests. "/f/<name>" serves a registered body
// at once, "/slow/<name>" the same body in 16 KiB pieces every 20 ms, "/cut/<name>" sends its
// first response like "/slow/" but closes it half way, and then serves like "/f/"; anything else
// is a 404. Bodies carry an
// ETag, and "Range: bytes=N-" (with no If-Range, or the body's ETag) gets a 206 from N on.
class HttpTestServer : public QObject
{
public:
    HttpTestServer();
    void Add(const QString& _qstrName, const QByteArray& _baBody) { m_mapBodies.insert(_qstrName, _baBody); }
    QString Url(const QString& _qstrPath) const;
    // The heads of the requests for a path, in order.
    QList<QByteArray> Requests(const QString& _qstrPath) const { return m_mapRequestHeads.value(_qstrPath); }
    // A header of a request head, empty when absent.
    static QByteArray Header(const QByteArray& _baHead, const QByteArray& _baName);

private:
    void Serve(QTcpSocket* _pSocket);

    QTcpServer m_server;
    QMap<QString, QByteArray> m_mapBodies;
    QMap<QTcpSocket*, QByteArray> m_mapRequests;
    QMap<QString, QList<QByteArray>> m_mapRequestHeads;
};
