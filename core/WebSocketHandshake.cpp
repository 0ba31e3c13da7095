#include "core/WebSocketHandshake.h"

#include "core/WebSocketFraming.h"

#include <QList>

#include <utility>

namespace {

// A request or answer head: its first line as received, then each "name: value" line with the
// name in lower case and both trimmed. Lines without a name are passed over.
struct Head
{
    QByteArray first;
    QList<std::pair<QByteArray, QByteArray>> fields;
};

Head ParseHead(const QByteArray& _baHead)
{
    Head head;
    const QList<QByteArray> lines = _baHead.split('\n');
    head.first = lines.value(0);
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon > 0)
            head.fields.append({line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed()});
    }
    return head;
}

// True when the comma-separated header value holds the token (case-insensitive).
bool HasToken(const QByteArray& _baValue, const char* _szToken)
{
    for (const QByteArray& part : _baValue.split(','))
        if (part.trimmed().toLower() == _szToken)
            return true;
    return false;
}

bool IsLoopbackHost(const QByteArray& _baHost, quint16 _nPort)
{
    const QByteArray host = _baHost.toLower();
    const QByteArray port = QByteArray::number(_nPort);
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"})
        if (host == name || host == QByteArray(name) + ':' + port)
            return true;
    return false;
}

WebSocketHandshake::Verdict Refusal(const QByteArray& _baStatus, const QString& _qstrReason,
                                    const QByteArray& _baHeaders = QByteArray())
{
    WebSocketHandshake::Verdict verdict;
    verdict.kind = WebSocketHandshake::Verdict::Kind::Refused;
    verdict.response =
        "HTTP/1.1 " + _baStatus + "\r\n" + _baHeaders + "Content-Length: 0\r\nConnection: close\r\n\r\n";
    verdict.reason = _qstrReason;
    return verdict;
}

// The verdict on a request's head (request line and headers, without the blank line).
WebSocketHandshake::Verdict CheckHead(const QByteArray& _baHead, quint16 _nPort,
                                      const QStringList& _listAllowedOrigins)
{
    const Head head = ParseHead(_baHead);
    const QList<QByteArray> request = head.first.trimmed().split(' ');
    if (request.size() != 3 || request.at(0) != "GET" || !request.at(2).startsWith("HTTP/1."))
        return Refusal("400 Bad Request",
                       QStringLiteral("not a GET request: ") + QString::fromLatin1(head.first.left(100)));
    QList<QByteArray> hosts;
    QList<QByteArray> origins;
    QByteArray upgrade, connection, version, key;
    for (const auto& [name, value] : head.fields) {
        if (name == "host")
            hosts.append(value);
        // Older protocol versions name the browser's origin differently.
        else if (name == "origin" || name == "sec-websocket-origin")
            origins.append(value);
        else if (name == "upgrade")
            upgrade = value;
        else if (name == "connection")
            connection = value;
        else if (name == "sec-websocket-version")
            version = value;
        else if (name == "sec-websocket-key")
            key = value;
    }
    if (hosts.size() != 1)
        return Refusal("403 Forbidden", QStringLiteral("expected one Host header, got %1").arg(hosts.size()));
    if (!IsLoopbackHost(hosts.first(), _nPort))
        return Refusal("403 Forbidden",
                       QStringLiteral("host not allowed: ") + QString::fromLatin1(hosts.first()));
    for (const QByteArray& origin : origins) {
        bool allowed = false;
        for (const QString& entry : _listAllowedOrigins)
            allowed = allowed || entry.compare(QString::fromLatin1(origin), Qt::CaseInsensitive) == 0;
        if (!allowed)
            return Refusal("403 Forbidden",
                           QStringLiteral("origin not allowed: ") + QString::fromLatin1(origin));
    }
    if (!HasToken(upgrade, "websocket") || !HasToken(connection, "upgrade"))
        return Refusal("400 Bad Request", QStringLiteral("not a WebSocket upgrade"));
    if (version.trimmed() != "13")
        return Refusal("426 Upgrade Required",
                       QStringLiteral("unsupported version: ") + QString::fromLatin1(version.left(20)),
                       "Sec-WebSocket-Version: 13\r\n");
    if (QByteArray::fromBase64(key).size() != 16)
        return Refusal("400 Bad Request", QStringLiteral("bad Sec-WebSocket-Key"));
    WebSocketHandshake::Verdict verdict;
    verdict.kind = WebSocketHandshake::Verdict::Kind::Upgrade;
    verdict.response = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                       "Sec-WebSocket-Accept: " +
                       WebSocketFraming::AcceptKey(key) + "\r\n\r\n";
    return verdict;
}

} // namespace

WebSocketHandshake::Verdict WebSocketHandshake::Check(const QByteArray& _baReceived, quint16 _nPort,
                                                      const QStringList& _listAllowedOrigins)
{
    // Only the bound is looked at: whatever follows it cannot be part of an acceptable request.
    const QByteArray data = _baReceived.left(kMaxRequestBytes + 4);
    const int end = data.indexOf("\r\n\r\n");
    if (end < 0) {
        Verdict verdict;
        if (data.size() > kMaxRequestBytes) {
            verdict = Refusal("431 Request Header Fields Too Large", QStringLiteral("handshake too large"));
            verdict.kind = Verdict::Kind::TooLarge;
        }
        return verdict;
    }
    Verdict verdict = CheckHead(data.left(end), _nPort, _listAllowedOrigins);
    if (verdict.kind == Verdict::Kind::Upgrade)
        verdict.requestBytes = end + 4;
    return verdict;
}

QByteArray WebSocketHandshake::Request(quint16 _nPort, const QByteArray& _baKey, const QByteArray& _baOrigin)
{
    QByteArray request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(_nPort) +
                         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + _baKey +
                         "\r\nSec-WebSocket-Version: 13\r\n";
    if (!_baOrigin.isEmpty())
        request += "Origin: " + _baOrigin + "\r\n";
    return request + "\r\n";
}

QString WebSocketHandshake::CheckResponse(const QByteArray& _baHead, const QByteArray& _baKey)
{
    const Head head = ParseHead(_baHead);
    const QList<QByteArray> status = head.first.trimmed().split(' ');
    if (status.size() < 2 || !status.at(0).startsWith("HTTP/1.") || status.at(1) != "101")
        return QStringLiteral("upgrade refused: ") + QString::fromLatin1(head.first.trimmed().left(100));
    QByteArray upgrade, connection, accept, extensions, protocol;
    for (const auto& [name, value] : head.fields) {
        if (name == "upgrade")
            upgrade = value;
        else if (name == "connection")
            connection = value;
        else if (name == "sec-websocket-accept")
            accept = value;
        else if (name == "sec-websocket-extensions")
            extensions = value;
        else if (name == "sec-websocket-protocol")
            protocol = value;
    }
    if (!HasToken(upgrade, "websocket") || !HasToken(connection, "upgrade"))
        return QStringLiteral("the answer is not a WebSocket upgrade");
    // Proves that the answer comes from a WebSocket server that read this request.
    if (accept != WebSocketFraming::AcceptKey(_baKey))
        return QStringLiteral("wrong Sec-WebSocket-Accept in the answer");
    // Nothing was asked for, so nothing the frames would need can have been agreed.
    if (!extensions.isEmpty() || !protocol.isEmpty())
        return QStringLiteral("the answer names an extension or subprotocol that was not asked for");
    return QString();
}
