// The owner of a loopback peer is found every time, also while other sockets come and go (a
// scan of the kernel's socket table misses rows then, and a legitimate client was refused).
#include "core/PeerCredentials.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

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
    QTcpServer listener;
    listener.setMaxPendingConnections(1024);
    if (!listener.listen(QHostAddress::LocalHost))
        return;
    std::deque<std::unique_ptr<QTcpSocket>> held;
    while (!_blStop) {
        auto client = std::make_unique<QTcpSocket>();
        client->connectToHost(QHostAddress::LocalHost, listener.serverPort());
        if (client->waitForConnected(1000) && listener.waitForNewConnection(1000))
            delete listener.nextPendingConnection();
        held.push_back(std::move(client));
        for (; held.size() > 100; held.pop_front())
            held.front()->abort();
    }
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
