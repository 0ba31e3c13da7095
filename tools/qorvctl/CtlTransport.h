#pragma once

#include "core/Result.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <memory>
#include <optional>

// One connection to the service, used from the main thread only. Texts are the envelopes'
// compact JSON as they travel on the wire.
class CtlTransport
{
public:
    virtual ~CtlTransport() = default;
    // Connects; fails with a reason when the service cannot be reached within the bound.
    virtual Result<> Open(int _nTimeoutMs) = 0;
    virtual bool Send(const QByteArray& _baText) = 0;
    // The next text from the service, or nothing within the bound.
    virtual std::optional<QByteArray> Receive(int _nTimeoutMs) = 0;
    // False once the service has closed the connection.
    virtual bool IsOpen() const = 0;

    static std::unique_ptr<CtlTransport> CreateWebSocket(quint16 _nPort);
    // _qstrName becomes the routing identity, which the service takes as the client name.
    static std::unique_ptr<CtlTransport> CreateZmq(quint16 _nPort, const QString& _qstrName);
};
