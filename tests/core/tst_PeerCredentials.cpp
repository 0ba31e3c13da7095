// The owner of a loopback peer is found every time, also while other sockets come and go (a
// scan of the kernel's socket table misses rows then, and a legitimate client was refused).
#include "core/PeerCredentials.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <memory>
#include <thread>

class tst_PeerCredentials : public QObject
{
    Q_OBJECT
private slots:
    void ownPeerFoundDuringSocketChurn();
};

namespace {

// Opens loopback connections to a listener of its own, which closes them at once, and closes
// them on this side in batches, until told to stop: many rows come and go in the kernel's table.
void Churn(const std::atomic<bool>& _blStop)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener, 1024) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return;
    std::deque<int> held;
    while (!_blStop) {
        const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            close(accept(listener, nullptr, nullptr));
        held.push_back(client);
        for (; held.size() > 100; held.pop_front())
            close(held.front());
    }
    for (const int fd : held)
        close(fd);
    close(listener);
}

} // namespace

void tst_PeerCredentials::ownPeerFoundDuringSocketChurn()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    std::atomic<bool> stop{false};
    std::thread churn(Churn, std::cref(stop));
    std::thread churn2(Churn, std::cref(stop));
    std::thread churn3(Churn, std::cref(stop));
    int unknown = 0;
    for (int i = 0; i < 1000; ++i) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QVERIFY(client.waitForConnected(10000));
        QVERIFY(server.waitForNewConnection(10000));
        std::unique_ptr<QTcpSocket> accepted(server.nextPendingConnection());
        uint uid = 0;
        const auto owner =
            PeerCredentials::LoopbackPeerOwner(accepted->peerAddress(), accepted->peerPort(),
                                               accepted->localAddress(), accepted->localPort(), &uid);
        unknown += owner == PeerCredentials::Owner::SameUser ? 0 : 1;
    }
    stop = true;
    churn.join();
    churn2.join();
    churn3.join();
    QCOMPARE(unknown, 0);
}

QTEST_GUILESS_MAIN(tst_PeerCredentials)
#include "tst_PeerCredentials.moc"
