// Who owns a loopback TCP peer on Windows: GetExtendedTcpTable (TCP_TABLE_OWNER_PID_ALL, IPv4 and
// IPv6) names the process whose socket's own end is our remote end (TcpConnectionTable), and the
// user of that process's token (OpenProcessToken, TokenUser) is compared with this process's
// (CompareUsers). The user id given out is the last part of the user's SID, its relative id.
// Under Wine, whose TCP table names no process, the host kernel's tables (ProcNetTcp) and the
// host user this program runs as answer instead, read through the drive Wine maps the host's
// root to.
#include "core/PeerCredentials.h"
#include "core/ProcNetTcp.h"
#include "core/TcpConnectionTable.h"

#include <QByteArray>
#include <QFile>

#include <optional>
#include <vector>

// winsock2.h before windows.h, which would bring the old winsock otherwise.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <iphlpapi.h>

namespace {

// The whole table of one address family; an empty buffer when it cannot be read.
QByteArray ReadTable(ULONG _nFamily)
{
    QByteArray buffer;
    DWORD size = 0;
    // The table may grow between the call that sizes it and the one that fills it: a few tries.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const DWORD rc = GetExtendedTcpTable(buffer.isEmpty() ? nullptr : buffer.data(), &size, FALSE,
                                             _nFamily, TCP_TABLE_OWNER_PID_ALL, 0);
        if (rc == NO_ERROR && !buffer.isEmpty())
            return buffer;
        if (rc != ERROR_INSUFFICIENT_BUFFER && rc != NO_ERROR)
            return QByteArray();
        buffer.resize(static_cast<int>(size + size / 4 + 1024));
        size = static_cast<DWORD>(buffer.size());
    }
    return QByteArray();
}

quint16 Port(DWORD _nNetworkPort)
{
    return ntohs(static_cast<u_short>(_nNetworkPort & 0xffff));
}

std::vector<TcpConnectionTable::Row> ReadRows()
{
    std::vector<TcpConnectionTable::Row> rows;
    const QByteArray four = ReadTable(AF_INET);
    if (!four.isEmpty()) {
        const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(four.constData());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCPROW_OWNER_PID& row = table->table[i];
            rows.push_back({QHostAddress(ntohl(row.dwLocalAddr)), Port(row.dwLocalPort),
                            QHostAddress(ntohl(row.dwRemoteAddr)), Port(row.dwRemotePort),
                            static_cast<qint64>(row.dwOwningPid)});
        }
    }
    const QByteArray six = ReadTable(AF_INET6);
    if (!six.isEmpty()) {
        const auto* table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(six.constData());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCP6ROW_OWNER_PID& row = table->table[i];
            rows.push_back({QHostAddress(row.ucLocalAddr), Port(row.dwLocalPort),
                            QHostAddress(row.ucRemoteAddr), Port(row.dwRemotePort),
                            static_cast<qint64>(row.dwOwningPid)});
        }
    }
    return rows;
}

// The user SID of a process's token, as bytes; empty when the token cannot be read.
QByteArray TokenUser(HANDLE _hProcess)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(_hProcess, TOKEN_QUERY, &token))
        return QByteArray();
    DWORD size = 0;
    GetTokenInformation(token, ::TokenUser, nullptr, 0, &size);
    QByteArray info(static_cast<int>(size), '\0');
    QByteArray sid;
    if (size > 0 && GetTokenInformation(token, ::TokenUser, info.data(), size, &size)) {
        const PSID user = reinterpret_cast<const TOKEN_USER*>(info.constData())->User.Sid;
        if (IsValidSid(user))
            sid = QByteArray(static_cast<const char*>(user), static_cast<int>(GetLengthSid(user)));
    }
    CloseHandle(token);
    return sid;
}

QByteArray OwnUser()
{
    static const QByteArray s_baUser = TokenUser(GetCurrentProcess());
    return s_baUser;
}

QByteArray UserOfProcess(qint64 _nPid)
{
    if (_nPid == static_cast<qint64>(GetCurrentProcessId()))
        return OwnUser();
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(_nPid));
    if (!process)
        return QByteArray();
    const QByteArray sid = TokenUser(process);
    CloseHandle(process);
    return sid;
}

uint RelativeId(const QByteArray& _baSid)
{
    auto* sid = reinterpret_cast<PSID>(const_cast<char*>(_baSid.constData()));
    const UCHAR count = *GetSidSubAuthorityCount(sid);
    return count == 0 ? 0 : static_cast<uint>(*GetSidSubAuthority(sid, count - 1u));
}

// A host path as a path of this program when it runs under Wine (whose kernel32 converts it);
// empty on Windows.
QString HostPath(const char* _szUnixPath)
{
    using ToDos = WCHAR*(CDECL*)(LPCSTR);
    static const ToDos s_toDos = reinterpret_cast<ToDos>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    WCHAR* dos = s_toDos ? s_toDos(_szUnixPath) : nullptr;
    if (!dos)
        return QString();
    const QString path = QString::fromWCharArray(dos);
    HeapFree(GetProcessHeap(), 0, dos);
    return path;
}

// The host user this program runs as under Wine: the real uid of its own host process.
std::optional<uint> HostUid()
{
    QFile status(HostPath("/proc/self/status"));
    if (status.fileName().isEmpty() || !status.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("Uid:")) {
            bool ok = false;
            const uint uid = line.mid(4).simplified().split(' ').value(0).toUInt(&ok);
            return ok ? std::optional<uint>(uid) : std::nullopt;
        }
    return std::nullopt;
}

// Under Wine only: the owner from the host kernel's tables.
PeerCredentials::Owner HostPeerOwner(const QHostAddress& _peer, quint16 _nPeerPort,
                                     const QHostAddress& _local, quint16 _nLocalPort, uint* _pUid)
{
    const QString procNet = HostPath("/proc/net");
    const std::optional<uint> own = HostUid();
    // The kernel writes those tables while we read them: a row may be missed once, so a few reads.
    std::optional<uint> peer;
    for (int attempt = 0; attempt < 3 && !peer && !procNet.isEmpty() && own; ++attempt)
        peer = ProcNetTcp::PeerUid(procNet, _peer, _nPeerPort, _local, _nLocalPort);
    if (!peer)
        return PeerCredentials::Owner::Unknown;
    if (_pUid)
        *_pUid = *peer;
    return *peer == *own ? PeerCredentials::Owner::SameUser : PeerCredentials::Owner::OtherUser;
}

bool SocketEnd(qintptr _nFd, bool _blPeer, QHostAddress& _address, quint16& _nPort)
{
    sockaddr_storage storage{};
    int size = sizeof storage;
    auto* address = reinterpret_cast<sockaddr*>(&storage);
    const SOCKET socket = static_cast<SOCKET>(_nFd);
    const int rc = _blPeer ? getpeername(socket, address, &size) : getsockname(socket, address, &size);
    if (rc != 0 || (storage.ss_family != AF_INET && storage.ss_family != AF_INET6))
        return false;
    _address.setAddress(address);
    _nPort = storage.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port)
                                          : ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
    return true;
}

} // namespace

PeerCredentials::Owner PeerCredentials::LoopbackPeerOwner(const QHostAddress& _peer, quint16 _nPeerPort,
                                                          const QHostAddress& _local, quint16 _nLocalPort,
                                                          uint* _pUid)
{
    const std::optional<qint64> pid =
        TcpConnectionTable::PeerPid(ReadRows(), _peer, _nPeerPort, _local, _nLocalPort);
    if (!pid)
        return HostPeerOwner(_peer, _nPeerPort, _local, _nLocalPort, _pUid);
    const QByteArray peer = UserOfProcess(*pid);
    const Owner owner = CompareUsers(OwnUser(), peer);
    if (owner != Owner::Unknown && _pUid)
        *_pUid = RelativeId(peer);
    return owner;
}

std::optional<PeerCredentials::Owner> PeerCredentials::AcceptedSocketOwner(qintptr _nFd, quint16 _nLocalPort,
                                                                           uint* _pUid)
{
    QHostAddress local;
    quint16 localPort = 0;
    if (!SocketEnd(_nFd, false, local, localPort) || localPort != _nLocalPort)
        return std::nullopt;
    QHostAddress peer;
    quint16 peerPort = 0;
    if (!SocketEnd(_nFd, true, peer, peerPort))
        return Owner::Unknown;
    return LoopbackPeerOwner(peer, peerPort, local, localPort, _pUid);
}

void PeerCredentials::ShutDownSocket(qintptr _nFd)
{
    shutdown(static_cast<SOCKET>(_nFd), SD_BOTH);
}
