// WebSocket benchmark: ~400-byte transfer envelopes through the running service, WebSocket to
// WebSocket and ZeroMQ to WebSocket, ping-pong and pipelined, and 50 WebSocket clients relaying
// to each other at once (nothing may be lost or misrouted); next to a plain QWebSocketServer
// echo on its own thread, measured in the same run.
#include "bench/BenchDealer.h"
#include "tests/e2e/ServiceHarness.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

struct Figures
{
    double rate = 0;
    double p50 = 0;
    double p99 = 0;
};

Figures Summarise(std::vector<qint64>& _vecNs, qint64 _nTotalNs)
{
    Figures f;
    if (_vecNs.empty() || _nTotalNs <= 0)
        return f;
    std::sort(_vecNs.begin(), _vecNs.end());
    f.rate = double(_vecNs.size()) * 1e9 / double(_nTotalNs);
    f.p50 = double(_vecNs[_vecNs.size() / 2]) / 1000.0;
    f.p99 = double(_vecNs[_vecNs.size() * 99 / 100]) / 1000.0;
    return f;
}

void Print(const char* _szName, const Figures& _f)
{
    std::printf("%-38s %9.0f msg/s   p50 %7.1f us   p99 %7.1f us\n", _szName, _f.rate, _f.p50, _f.p99);
    std::fflush(stdout);
}

QByteArray Envelope400(const QString& _qstrFrom, const QString& _qstrTo)
{
    JsonCommand env = makeTransfer({_qstrTo}, QString(200, QLatin1Char('p')), QStringLiteral("bench"));
    env.from = _qstrFrom;
    return env.ToString();
}

// A relayed transfer, as opposed to the hub's "transfer_ret" for one we sent.
bool IsRelayed(const QString& _qstrText)
{
    return _qstrText.contains(QLatin1String("\"type\":\"transfer\","));
}

// Runs the event loop until _done() or the bound; false on time-out.
bool Spin(const std::function<bool()>& _done, int _nTimeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!_done()) {
        if (timer.elapsed() > _nTimeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// The peer: a plain QWebSocketServer that sends every text straight back, on its own thread as
// the service runs in its own process.
class EchoThread : public QThread
{
public:
    quint16 WaitForPort()
    {
        while (m_nPort.load() == 0)
            QThread::msleep(1);
        return m_nPort.load();
    }

protected:
    void run() override
    {
        QWebSocketServer server(QString(), QWebSocketServer::NonSecureMode);
        QObject::connect(&server, &QWebSocketServer::newConnection, [&server]() {
            while (server.hasPendingConnections()) {
                QWebSocket* socket = server.nextPendingConnection();
                QObject::connect(socket, &QWebSocket::textMessageReceived,
                                 [socket](const QString& _qstrText) { socket->sendTextMessage(_qstrText); });
                QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        server.listen(QHostAddress::LocalHost, 0);
        m_nPort = server.serverPort();
        exec();
    }

private:
    std::atomic<quint16> m_nPort{0};
};

std::unique_ptr<QWebSocket> Connect(quint16 _nPort)
{
    auto socket = std::make_unique<QWebSocket>();
    socket->open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(_nPort)));
    if (!Spin([&]() { return socket->state() == QAbstractSocket::ConnectedState; }, 10000))
        return nullptr;
    return socket;
}

std::unique_ptr<QWebSocket> LoggedIn(quint16 _nPort, const QString& _qstrName)
{
    auto socket = Connect(_nPort);
    if (!socket)
        return nullptr;
    bool answered = false;
    auto connection =
        QObject::connect(socket.get(), &QWebSocket::textMessageReceived, [&](const QString& _qstrText) {
            answered = answered || _qstrText.contains(QLatin1String("\"type\":\"notify_ret\""));
        });
    socket->sendTextMessage(QString::fromUtf8(makeLogin(_qstrName).ToString()));
    const bool ok = Spin([&]() { return answered; }, 10000);
    QObject::disconnect(connection);
    return ok ? std::move(socket) : nullptr;
}

Figures EchoPingPong(quint16 _nPort, int _nCount)
{
    auto client = Connect(_nPort);
    const QString body = QString::fromUtf8(Envelope400(QStringLiteral("a"), QStringLiteral("b")));
    std::vector<qint64> ns;
    ns.reserve(size_t(_nCount));
    QElapsedTimer one;
    int done = 0;
    const int warmUp = _nCount / 10;
    QObject::connect(client.get(), &QWebSocket::textMessageReceived, [&](const QString&) {
        if (done >= warmUp)
            ns.push_back(one.nsecsElapsed());
        if (++done < _nCount + warmUp) {
            one.start();
            client->sendTextMessage(body);
        }
    });
    QElapsedTimer total;
    one.start();
    client->sendTextMessage(body);
    Spin([&]() { return done >= warmUp; }, 60000);
    total.start();
    Spin([&]() { return done >= _nCount + warmUp; }, 120000);
    return Summarise(ns, total.nsecsElapsed());
}

// One hop is client -> service -> client, the path of one echo round trip.
Figures RelayPingPong(quint16 _nPort, int _nCount)
{
    auto a = LoggedIn(_nPort, QStringLiteral("ping_a"));
    auto b = LoggedIn(_nPort, QStringLiteral("ping_b"));
    if (!a || !b)
        return {};
    const QString toB = QString::fromUtf8(Envelope400(QStringLiteral("ping_a"), QStringLiteral("ping_b")));
    const QString toA = QString::fromUtf8(Envelope400(QStringLiteral("ping_b"), QStringLiteral("ping_a")));
    std::vector<qint64> ns;
    ns.reserve(size_t(_nCount));
    QElapsedTimer one;
    int hops = 0;
    const int warmUp = _nCount / 10;
    auto hop = [&](QWebSocket* _pNext, const QString& _qstrText) {
        if (hops >= warmUp)
            ns.push_back(one.nsecsElapsed());
        if (++hops < _nCount + warmUp) {
            one.start();
            _pNext->sendTextMessage(_qstrText);
        }
    };
    QObject::connect(b.get(), &QWebSocket::textMessageReceived, [&](const QString& _qstrText) {
        if (IsRelayed(_qstrText))
            hop(b.get(), toA);
    });
    QObject::connect(a.get(), &QWebSocket::textMessageReceived, [&](const QString& _qstrText) {
        if (IsRelayed(_qstrText))
            hop(a.get(), toB);
    });
    QElapsedTimer total;
    one.start();
    a->sendTextMessage(toB);
    Spin([&]() { return hops >= warmUp; }, 60000);
    total.start();
    if (!Spin([&]() { return hops >= _nCount + warmUp; }, 120000))
        std::printf("  (relay ping-pong stalled after %d hops)\n", hops);
    return Summarise(ns, total.nsecsElapsed());
}

// A DEALER used by one thread only: the thread that runs the ZeroMQ side of a measurement.
class ZmqSide
{
public:
    ZmqSide(void* _pContext, const QByteArray& _baName, quint16 _nPort)
        : m_pSocket(BenchDealer(_pContext, _baName, _nPort))
    {
        Send(makeLogin(QString::fromUtf8(_baName)).ToString());
        Receive(10000);
    }
    ~ZmqSide() { zmq_close(m_pSocket); }

    void Send(const QByteArray& _baBody) { BenchSend(m_pSocket, _baBody); }
    QByteArray Receive(int _nTimeoutMs) { return BenchReceive(m_pSocket, _nTimeoutMs); }

private:
    void* m_pSocket = nullptr;
};

// ZeroMQ -> service -> WebSocket -> service -> ZeroMQ; counted in hops like the other ping-pongs.
Figures ZmqToWsPingPong(void* _pContext, quint16 _nZmqPort, quint16 _nWsPort, int _nCount)
{
    auto ws = LoggedIn(_nWsPort, QStringLiteral("mix_ws"));
    if (!ws)
        return {};
    const QString toZmq = QString::fromUtf8(Envelope400(QStringLiteral("mix_ws"), QStringLiteral("mix_zmq")));
    QObject::connect(ws.get(), &QWebSocket::textMessageReceived, [&](const QString& _qstrText) {
        if (IsRelayed(_qstrText))
            ws->sendTextMessage(toZmq);
    });
    std::vector<qint64> ns;
    ns.reserve(size_t(_nCount));
    std::atomic<bool> finished{false};
    qint64 totalNs = 0;
    std::thread zmqThread([&]() {
        ZmqSide zmq(_pContext, "mix_zmq", _nZmqPort);
        const QByteArray toWs = Envelope400(QStringLiteral("mix_zmq"), QStringLiteral("mix_ws"));
        auto roundTrip = [&]() {
            zmq.Send(toWs);
            for (;;) {
                const QByteArray body = zmq.Receive(10000);
                if (body.isEmpty() || body.contains("\"type\":\"transfer\","))
                    return !body.isEmpty();
            }
        };
        for (int i = 0; i < _nCount / 20; ++i)
            roundTrip();
        QElapsedTimer total, one;
        total.start();
        for (int i = 0; i < _nCount / 2; ++i) {
            one.start();
            if (!roundTrip())
                break;
            // Two hops per round trip; both get the mean of the pair.
            ns.push_back(one.nsecsElapsed() / 2);
            ns.push_back(ns.back());
        }
        totalNs = total.nsecsElapsed();
        finished = true;
    });
    Spin([&]() { return finished.load(); }, 300000);
    zmqThread.join();
    return Summarise(ns, totalNs);
}

// Keeps _nWindow messages in flight from a sender to a receiver; returns messages per second.
double EchoPipelined(quint16 _nPort, int _nCount, int _nWindow)
{
    auto client = Connect(_nPort);
    const QString body = QString::fromUtf8(Envelope400(QStringLiteral("a"), QStringLiteral("b")));
    int sent = 0, received = 0;
    auto topUp = [&]() {
        while (sent < _nCount && sent - received < _nWindow) {
            client->sendTextMessage(body);
            ++sent;
        }
    };
    QObject::connect(client.get(), &QWebSocket::textMessageReceived, [&](const QString&) {
        ++received;
        topUp();
    });
    QElapsedTimer timer;
    timer.start();
    topUp();
    Spin([&]() { return received >= _nCount; }, 300000);
    return received * 1000.0 / double(qMax<qint64>(1, timer.elapsed()));
}

double RelayPipelined(quint16 _nPort, int _nCount, int _nWindow)
{
    auto a = LoggedIn(_nPort, QStringLiteral("pipe_a"));
    auto b = LoggedIn(_nPort, QStringLiteral("pipe_b"));
    if (!a || !b)
        return 0;
    const QString toB = QString::fromUtf8(Envelope400(QStringLiteral("pipe_a"), QStringLiteral("pipe_b")));
    int sent = 0, received = 0;
    auto topUp = [&]() {
        while (sent < _nCount && sent - received < _nWindow) {
            a->sendTextMessage(toB);
            ++sent;
        }
    };
    QObject::connect(b.get(), &QWebSocket::textMessageReceived, [&](const QString& _qstrText) {
        if (IsRelayed(_qstrText)) {
            ++received;
            topUp();
        }
    });
    QElapsedTimer timer;
    timer.start();
    topUp();
    if (!Spin([&]() { return received >= _nCount; }, 300000))
        std::printf("  (relay pipelined: %d of %d arrived)\n", received, _nCount);
    return received * 1000.0 / double(qMax<qint64>(1, timer.elapsed()));
}

double ZmqToWsPipelined(void* _pContext, quint16 _nZmqPort, quint16 _nWsPort, int _nCount, int _nWindow)
{
    auto ws = LoggedIn(_nWsPort, QStringLiteral("mixpipe_ws"));
    if (!ws)
        return 0;
    std::atomic<int> received{0};
    QObject::connect(ws.get(), &QWebSocket::textMessageReceived, [&](const QString& _qstrText) {
        if (IsRelayed(_qstrText))
            ++received;
    });
    std::atomic<bool> finished{false};
    QElapsedTimer timer;
    timer.start();
    std::thread zmqThread([&]() {
        ZmqSide zmq(_pContext, "mixpipe_zmq", _nZmqPort);
        const QByteArray toWs = Envelope400(QStringLiteral("mixpipe_zmq"), QStringLiteral("mixpipe_ws"));
        int sent = 0;
        while (received.load() < _nCount && timer.elapsed() < 300000) {
            if (sent < _nCount && sent - received.load() < _nWindow) {
                zmq.Send(toWs);
                ++sent;
            } else {
                zmq.Receive(1); // the hub's answers
            }
        }
        finished = true;
    });
    Spin([&]() { return finished.load(); }, 310000);
    zmqThread.join();
    return received * 1000.0 / double(qMax<qint64>(1, timer.elapsed()));
}

struct ManyResult
{
    qint64 delivered = 0;
    qint64 lost = 0;
    qint64 misrouted = 0;
    qint64 outOfOrder = 0;
    double seconds = 0;
};

// Client i sends _nEach transfers to client i+1 (in a ring); each receiver checks sender,
// addressee and sequence.
ManyResult ManyClients(quint16 _nPort, int _nClients, int _nEach, int _nWindow)
{
    ManyResult result;
    std::vector<std::unique_ptr<QWebSocket>> clients;
    for (int i = 0; i < _nClients; ++i) {
        clients.push_back(LoggedIn(_nPort, QStringLiteral("ring_%1").arg(i)));
        if (!clients.back()) {
            std::printf("  client %d could not log in\n", i);
            result.lost = qint64(_nClients) * _nEach;
            return result;
        }
    }
    std::vector<int> sent(size_t(_nClients), 0), received(size_t(_nClients), 0);
    auto name = [](int _i) { return QStringLiteral("ring_%1").arg(_i); };
    auto topUp = [&](int _nSender) {
        const int receiver = (_nSender + 1) % _nClients;
        while (sent[size_t(_nSender)] < _nEach &&
               sent[size_t(_nSender)] - received[size_t(receiver)] < _nWindow) {
            JsonCommand env = makeTransfer({name(receiver)}, QString::number(sent[size_t(_nSender)]),
                                           QStringLiteral("ring"));
            env.from = name(_nSender);
            env.userdata = QString(150, QLatin1Char('u'));
            clients[size_t(_nSender)]->sendTextMessage(QString::fromUtf8(env.ToString()));
            ++sent[size_t(_nSender)];
        }
    };
    for (int j = 0; j < _nClients; ++j) {
        QObject::connect(clients[size_t(j)].get(), &QWebSocket::textMessageReceived,
                         [&, j](const QString& _qstrText) {
                             if (!IsRelayed(_qstrText))
                                 return;
                             JsonCommand env;
                             env.LoadFromString(_qstrText.toUtf8());
                             const int expectedSender = (j + _nClients - 1) % _nClients;
                             if (env.from != name(expectedSender) || env.to != QStringList{name(j)}) {
                                 ++result.misrouted;
                                 return;
                             }
                             if (env.data != QString::number(received[size_t(j)]))
                                 ++result.outOfOrder;
                             ++received[size_t(j)];
                             ++result.delivered;
                             topUp(expectedSender);
                         });
    }
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < _nClients; ++i)
        topUp(i);
    const qint64 total = qint64(_nClients) * _nEach;
    Spin([&]() { return result.delivered + result.misrouted >= total; }, 300000);
    result.seconds = timer.elapsed() / 1000.0;
    result.lost = total - result.delivered - result.misrouted;
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int pingPong = qEnvironmentVariableIntValue("QORV_BENCH_PINGPONG") ?: 20000;
    const int pipelined = qEnvironmentVariableIntValue("QORV_BENCH_PIPELINED") ?: 100000;
    const int clients = qEnvironmentVariableIntValue("QORV_BENCH_CLIENTS") ?: 50;
    const int each = qEnvironmentVariableIntValue("QORV_BENCH_EACH") ?: 2000;
    const int window = 1000;

    ServiceProcess service;
    if (!service.start()) {
        std::fprintf(stderr, "ws_bench: cannot start the service: %s\n", qPrintable(service.errorString()));
        return 1;
    }
    EchoThread echo;
    echo.start();
    const quint16 echoPort = echo.WaitForPort();
    void* context = zmq_ctx_new();
    std::printf("WebSocket benchmark: ~%d-byte transfer envelopes; %d cores; service log level 1 (default)\n",
                int(Envelope400(QStringLiteral("ping_a"), QStringLiteral("ping_b")).size()),
                QThread::idealThreadCount());

    const Figures echoPing = EchoPingPong(echoPort, pingPong);
    const Figures relayPing = RelayPingPong(service.wsPort(), pingPong);
    const Figures mixedPing = ZmqToWsPingPong(context, service.zmqPort(), service.wsPort(), pingPong);
    Print("plain QWebSocketServer echo, ping-pong", echoPing);
    Print("WebSocket->hub->WebSocket, ping-pong", relayPing);
    Print("ZeroMQ->hub->WebSocket, ping-pong", mixedPing);
    std::printf("  ratio WebSocket relay/echo: %.2f (target >= 0.50); ZeroMQ->WebSocket/echo: %.2f\n",
                relayPing.rate / echoPing.rate, mixedPing.rate / echoPing.rate);

    const double echoPipe = EchoPipelined(echoPort, pipelined, window);
    const double relayPipe = RelayPipelined(service.wsPort(), pipelined, window);
    const double mixedPipe =
        ZmqToWsPipelined(context, service.zmqPort(), service.wsPort(), pipelined, window);
    std::printf("%-38s %9.0f msg/s\n", "plain QWebSocketServer echo, pipelined", echoPipe);
    std::printf("%-38s %9.0f msg/s   ratio to echo %.2f (target >= 0.30)\n",
                "WebSocket->hub->WebSocket, pipelined", relayPipe, relayPipe / echoPipe);
    std::printf("%-38s %9.0f msg/s   ratio to echo %.2f\n", "ZeroMQ->hub->WebSocket, pipelined", mixedPipe,
                mixedPipe / echoPipe);

    const ManyResult many = ManyClients(service.wsPort(), clients, each, 200);
    std::printf("%d WebSocket clients x %d transfers in a ring: %lld delivered in %.1f s (%.0f msg/s); "
                "lost %lld, misrouted %lld, out of order %lld\n",
                clients, each, static_cast<long long>(many.delivered), many.seconds,
                many.seconds > 0 ? many.delivered / many.seconds : 0.0, static_cast<long long>(many.lost),
                static_cast<long long>(many.misrouted), static_cast<long long>(many.outOfOrder));

    echo.quit();
    echo.wait();
    service.stop();
    zmq_ctx_term(context);
    return many.lost == 0 && many.misrouted == 0 ? 0 : 1;
}
