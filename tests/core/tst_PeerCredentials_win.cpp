// Which user owns a loopback peer on Windows: the decision on real SIDs (Wine runs every program
// as one user, so another user's client cannot be shown live), and this process's own client
// found through its accepted socket.
#include "core/PeerCredentials.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#include <windows.h>

#include <sddl.h>

namespace {

QByteArray SidBytes(const QString& _qstrSid)
{
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(reinterpret_cast<const wchar_t*>(_qstrSid.utf16()), &sid))
        return QByteArray();
    const QByteArray bytes(static_cast<const char*>(sid), static_cast<int>(GetLengthSid(sid)));
    LocalFree(sid);
    return bytes;
}

QByteArray OwnSidBytes()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return QByteArray();
    char buffer[256];
    DWORD size = 0;
    QByteArray bytes;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) {
        const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
        bytes = QByteArray(static_cast<const char*>(sid), static_cast<int>(GetLengthSid(sid)));
    }
    CloseHandle(token);
    return bytes;
}

} // namespace

class tst_PeerCredentials_win : public QObject
{
    Q_OBJECT
private slots:
    void compareUsers_data();
    void compareUsers();
    void ownClientIsSameUser();
};

void tst_PeerCredentials_win::compareUsers_data()
{
    QTest::addColumn<QByteArray>("peer");
    QTest::addColumn<int>("owner");
    const QByteArray own = OwnSidBytes();
    QVERIFY(!own.isEmpty());
    QTest::newRow("this user") << own << int(PeerCredentials::Owner::SameUser);
    QTest::newRow("the system account")
        << SidBytes(QStringLiteral("S-1-5-18")) << int(PeerCredentials::Owner::OtherUser);
    // Same machine, the next account created on it: only the last part differs.
    QByteArray neighbour = own;
    const PSID other = reinterpret_cast<PSID>(neighbour.data());
    *GetSidSubAuthority(other, *GetSidSubAuthorityCount(other) - 1u) += 1;
    QTest::newRow("another user of this machine") << neighbour << int(PeerCredentials::Owner::OtherUser);
    QTest::newRow("token not readable") << QByteArray() << int(PeerCredentials::Owner::Unknown);
}

void tst_PeerCredentials_win::compareUsers()
{
    QFETCH(QByteArray, peer);
    QFETCH(int, owner);
    QCOMPARE(int(PeerCredentials::CompareUsers(OwnSidBytes(), peer)), owner);
    QCOMPARE(int(PeerCredentials::CompareUsers(QByteArray(), peer)), int(PeerCredentials::Owner::Unknown));
}

void tst_PeerCredentials_win::ownClientIsSameUser()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(client.waitForConnected(10000));
    QVERIFY(server.waitForNewConnection(10000));
    std::unique_ptr<QTcpSocket> accepted(server.nextPendingConnection());
    QCOMPARE(PeerCredentials::LoopbackPeerOwner(accepted->peerAddress(), accepted->peerPort(),
                                                accepted->localAddress(), accepted->localPort()),
             PeerCredentials::Owner::SameUser);
    const qintptr socket = accepted->socketDescriptor();
    QCOMPARE(PeerCredentials::AcceptedSocketOwner(socket, server.serverPort()),
             std::optional<PeerCredentials::Owner>(PeerCredentials::Owner::SameUser));
    // Not the socket it is asked about: nothing is decided on it.
    QCOMPARE(PeerCredentials::AcceptedSocketOwner(socket, quint16(server.serverPort() + 1)),
             std::optional<PeerCredentials::Owner>());
    PeerCredentials::ShutDownSocket(socket);
    // The client sees the end of the stream, though the descriptor stays open here.
    QVERIFY(client.waitForReadyRead(10000) || client.state() != QAbstractSocket::ConnectedState);
}

QTEST_GUILESS_MAIN(tst_PeerCredentials_win)
#include "tst_PeerCredentials_win.moc"
