// Which row of the system's TCP table is the other end of an accepted loopback connection: the
// server's own row mirrors the peer's and must never be taken for it.
#include "core/TcpConnectionTable.h"

#include <QtTest>

using TcpConnectionTable::Row;

Q_DECLARE_METATYPE(std::vector<Row>)

class tst_TcpConnectionTable : public QObject
{
    Q_OBJECT
private slots:
    void peerPid_data();
    void peerPid();
};

namespace {

const QHostAddress kV4(QStringLiteral("127.0.0.1"));
const QHostAddress kMapped(QStringLiteral("::ffff:127.0.0.1"));
const QHostAddress kV6(QStringLiteral("::1"));
const QHostAddress kAny(QStringLiteral("0.0.0.0"));

// The server (pid 100) listens on 5555 and has accepted 127.0.0.1:40000, the client's socket.
Row Listening()
{
    return {kV4, 5555, kAny, 0, 100};
}
Row Accepted()
{
    return {kV4, 5555, kV4, 40000, 100};
}

} // namespace

void tst_TcpConnectionTable::peerPid_data()
{
    QTest::addColumn<std::vector<Row>>("rows");
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QString>("local");
    QTest::addColumn<qint64>("pid"); // 0: none found

    QTest::newRow("the client's row")
        << std::vector<Row>{Listening(), Accepted(), {kV4, 40000, kV4, 5555, 200}} << "127.0.0.1"
        << "127.0.0.1" << qint64(200);
    QTest::newRow("only the server's own rows") << std::vector<Row>{Listening(), Accepted()} << "127.0.0.1"
                                                << "127.0.0.1" << qint64(0);
    // A dual-stack server sees the IPv4 client in mapped form; the client's row is IPv4.
    QTest::newRow("mapped form on the server's side")
        << std::vector<Row>{{kMapped, 5555, kMapped, 40000, 100}, {kV4, 40000, kV4, 5555, 200}}
        << "::ffff:127.0.0.1"
        << "::ffff:127.0.0.1" << qint64(200);
    QTest::newRow("::1 is not 127.0.0.1") << std::vector<Row>{{kV6, 40000, kV6, 5555, 200}} << "127.0.0.1"
                                          << "127.0.0.1" << qint64(0);
    QTest::newRow("same ports, other server port")
        << std::vector<Row>{{kV4, 40000, kV4, 5556, 200}} << "127.0.0.1"
        << "127.0.0.1" << qint64(0);
    // A closed connection waiting out its time belongs to no process.
    QTest::newRow("row without a process") << std::vector<Row>{{kV4, 40000, kV4, 5555, 0}} << "127.0.0.1"
                                           << "127.0.0.1" << qint64(0);
    QTest::newRow("two processes claim it")
        << std::vector<Row>{{kV4, 40000, kV4, 5555, 200}, {kV4, 40000, kV4, 5555, 300}} << "127.0.0.1"
        << "127.0.0.1" << qint64(0);
    QTest::newRow("listed twice by one process")
        << std::vector<Row>{{kV4, 40000, kV4, 5555, 200}, {kMapped, 40000, kMapped, 5555, 200}} << "127.0.0.1"
        << "127.0.0.1" << qint64(200);
}

void tst_TcpConnectionTable::peerPid()
{
    QFETCH(std::vector<Row>, rows);
    QFETCH(QString, peer);
    QFETCH(QString, local);
    QFETCH(qint64, pid);
    const std::optional<qint64> found =
        TcpConnectionTable::PeerPid(rows, QHostAddress(peer), 40000, QHostAddress(local), 5555);
    QCOMPARE(found.value_or(0), pid);
}

QTEST_GUILESS_MAIN(tst_TcpConnectionTable)
#include "tst_TcpConnectionTable.moc"
