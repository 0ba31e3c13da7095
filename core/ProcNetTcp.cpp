#include "core/ProcNetTcp.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <cstdio>
#include <cstring>

namespace ProcNetTcp {

namespace {

// The kernel prints each 32-bit word of the address as it lies in memory, in hexadecimal.
QByteArray KernelHex(const QHostAddress& _address, quint16 _nPort, bool _blSix)
{
    QByteArray bytes;
    bool isV4 = false;
    const quint32 v4 = _address.toIPv4Address(&isV4);
    if (_blSix) {
        const Q_IPV6ADDR v6 =
            isV4 ? QHostAddress(QStringLiteral("::ffff:") + QHostAddress(v4).toString()).toIPv6Address()
                 : _address.toIPv6Address();
        bytes = QByteArray(reinterpret_cast<const char*>(v6.c), 16);
    } else {
        if (!isV4)
            return QByteArray();
        const unsigned char raw[4] = {static_cast<unsigned char>(v4 >> 24),
                                      static_cast<unsigned char>(v4 >> 16),
                                      static_cast<unsigned char>(v4 >> 8), static_cast<unsigned char>(v4)};
        bytes = QByteArray(reinterpret_cast<const char*>(raw), 4);
    }
    QByteArray text;
    for (int i = 0; i < bytes.size(); i += 4) {
        quint32 word = 0;
        std::memcpy(&word, bytes.constData() + i, 4);
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "%08X", word);
        text += buffer;
    }
    char port[8];
    std::snprintf(port, sizeof port, ":%04X", _nPort);
    return text + QByteArray(port);
}

// Returns the uid of the row whose local and remote columns match, if any.
std::optional<uint> FindUid(const QString& _qstrTable, const QByteArray& _baLocal,
                            const QByteArray& _baRemote)
{
    QFile file(_qstrTable);
    if (_baLocal.isEmpty() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    file.readLine(); // header
    while (!file.atEnd()) {
        const QList<QByteArray> fields = file.readLine().simplified().split(' ');
        // sl local rem st tx:rx tr:when retrnsmt uid ...
        if (fields.size() < 8)
            continue;
        if (fields.at(1).compare(_baLocal, Qt::CaseInsensitive) == 0 &&
            fields.at(2).compare(_baRemote, Qt::CaseInsensitive) == 0) {
            bool ok = false;
            const uint uid = fields.at(7).toUInt(&ok);
            if (ok)
                return uid;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<uint> PeerUid(const QString& _qstrFolder, const QHostAddress& _peer, quint16 _nPeerPort,
                            const QHostAddress& _local, quint16 _nLocalPort)
{
    std::optional<uint> uid =
        FindUid(_qstrFolder + QStringLiteral("/tcp"), KernelHex(_peer, _nPeerPort, false),
                KernelHex(_local, _nLocalPort, false));
    if (!uid)
        uid = FindUid(_qstrFolder + QStringLiteral("/tcp6"), KernelHex(_peer, _nPeerPort, true),
                      KernelHex(_local, _nLocalPort, true));
    return uid;
}

} // namespace ProcNetTcp
