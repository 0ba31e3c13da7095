// Which user owns a loopback peer on Windows, decided on real SIDs: Wine runs every program as
// one user and its TCP table names no process, so another user's client cannot be shown live.
#include "core/PeerCredentials.h"

#include <QtTest>

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

QTEST_GUILESS_MAIN(tst_PeerCredentials_win)
#include "tst_PeerCredentials_win.moc"
