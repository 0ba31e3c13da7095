#pragma once

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

// A small HTTP/1.1 server on 127.0.0.1 for download tests. "/f/<name>" serves a registered body
// at once, "/slow/<name>" the same body in 16 KiB pieces every 20 ms, anything else is a 404.
class HttpTestServer : public QObject
{
public:
    HttpTestServer();
    void Add(const QString& _qstrName, const QByteArray& _baBody) { m_mapBodies.insert(_qstrName, _baBody); }
    QString Url(const QString& _qstrPath) const;

private:
    void Serve(QTcpSocket* _pSocket);

    QTcpServer m_server;
    QMap<QString, QByteArray> m_mapBodies;
    QMap<QTcpSocket*, QByteArray> m_mapRequests;
};
