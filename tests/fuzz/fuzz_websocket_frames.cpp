// The WebSocket frame parser on a connected socket pair, the input arriving in pieces whose size
// the first byte sets, so frames are also cut at every point.
#include "core/WebSocketConnection.h"
#include "tests/fuzz/FuzzSupport.h"

#include <QTcpSocket>

#include <sys/socket.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* _pData, size_t _nSize)
{
    FuzzQuietQt();
    if (_nSize == 0)
        return 0;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    auto* socket = new QTcpSocket;
    socket->setSocketDescriptor(fds[0]);
    {
        WebSocketConnection connection(socket, 64 * 1024);
        QObject::connect(&connection, &WebSocketConnection::SignTextMessage, [](const QByteArray& _baText) {
            FUZZ_CHECK(WebSocketFraming::IsValidUtf8(_baText));
            FUZZ_CHECK(_baText.size() <= 64 * 1024);
        });
        const size_t piece = 1 + _pData[0] % 32;
        for (size_t at = 1; at < _nSize && connection.IsOpen(); at += piece) {
            const size_t n = std::min(piece, _nSize - at);
            if (write(fds[1], _pData + at, n) != static_cast<ssize_t>(n))
                break;
            socket->waitForReadyRead(1000);
        }
        QCoreApplication::processEvents();
    }
    close(fds[1]);
    return 0;
}
