#pragma once

// Raw ZeroMQ DEALER helpers shared by the benchmarks: no parsing on the client side, so the
// figures are the service's. Each socket is used by one thread only. Also the service's memory
// as /proc reports it.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <zmq.h>

// A DEALER named by its routing identity, with no high-water marks of its own.
inline void* BenchDealer(void* _pContext, const QByteArray& _baName, quint16 _nPort)
{
    void* socket = zmq_socket(_pContext, ZMQ_DEALER);
    zmq_setsockopt(socket, ZMQ_ROUTING_ID, _baName.constData(), size_t(_baName.size()));
    const int zero = 0;
    zmq_setsockopt(socket, ZMQ_LINGER, &zero, sizeof zero);
    zmq_setsockopt(socket, ZMQ_RCVHWM, &zero, sizeof zero);
    zmq_setsockopt(socket, ZMQ_SNDHWM, &zero, sizeof zero);
    zmq_connect(socket, QByteArray("tcp://127.0.0.1:" + QByteArray::number(_nPort)).constData());
    return socket;
}

// Sends a body as the two frames length and body.
inline void BenchSend(void* _pSocket, const QByteArray& _baBody)
{
    const QByteArray length = QByteArray::number(_baBody.size());
    zmq_send(_pSocket, length.constData(), size_t(length.size()), ZMQ_SNDMORE);
    zmq_send(_pSocket, _baBody.constData(), size_t(_baBody.size()), 0);
}

// The last frame (the body) of the next message; empty on time-out.
inline QByteArray BenchReceive(void* _pSocket, int _nTimeoutMs = 10000)
{
    zmq_pollitem_t item{_pSocket, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, _nTimeoutMs) <= 0)
        return QByteArray();
    QByteArray body;
    int more = 1;
    while (more) {
        zmq_msg_t msg;
        zmq_msg_init(&msg);
        zmq_msg_recv(&msg, _pSocket, 0);
        body = QByteArray(static_cast<const char*>(zmq_msg_data(&msg)), int(zmq_msg_size(&msg)));
        more = zmq_msg_more(&msg);
        zmq_msg_close(&msg);
    }
    return body;
}

// A "<field>: <n> kB" line of /proc/<pid>/status (VmRSS:, VmHWM:), in KiB; -1 when unreadable.
inline qint64 StatusKb(qint64 _nPid, const char* _szField)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(_nPid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(_szField))
            return line.mid(int(qstrlen(_szField))).trimmed().split(' ').value(0).toLongLong();
    return -1;
}
