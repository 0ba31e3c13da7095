// Network benchmark: many "get_interface" commands at once through the running service, each
// with addresses that answer 200, 500 or never; next to the slowest of those commands sent alone
// in the same run. Commands that queued behind each other would take many times longer.
#include "bench/BenchDealer.h"
#include "tests/support/ServiceHarness.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <zmq.h>

#include <cstdio>
#include <vector>

namespace {

constexpr int kAddresses = 10;
constexpr int kTimeoutSeconds = 2;

struct Command
{
    JsonCommand request;
    QString guid;
    QString expected; // the answer's data
};

// Client i: 5 addresses answering 200, then 3 answering 500 and 2 silent (even i) or 2 and 3.
Command MakeCommand(const QString& _qstrBase, int _nClient)
{
    QMap<QString, int> results;
    for (int k = 0; k < kAddresses; ++k) {
        const int fails = _nClient % 2 == 0 ? 3 : 2;
        const char* kind = k < 5 ? "ok" : k < 5 + fails ? "fail" : "hang";
        results.insert(QStringLiteral("%1/%2/%3/%4").arg(_qstrBase, kind).arg(_nClient).arg(k),
                       k < 5 ? 0 : 2);
    }
    QJsonArray request, answer;
    for (auto it = results.cbegin(); it != results.cend(); ++it) {
        request.append(QJsonObject{{"url", it.key()}, {"result", 0}});
        answer.append(QJsonObject{{"url", it.key()}, {"result", it.value()}});
    }
    JsonCommand envelope = makeCommand(
        "command", "get_interface", QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact)));
    return {envelope, envelope.guid, QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact))};
}

bool IsResultFor(const QByteArray& _baBody, const Command& _command, bool& _blRight)
{
    JsonCommand envelope;
    envelope.LoadFromString(_baBody);
    if (envelope.type != QLatin1String("transfer") || envelope.guid != _command.guid)
        return false;
    _blRight = envelope.data == _command.expected && envelope.command == QLatin1String("get_interface_ret");
    return true;
}

// Sends every command on its own socket at once; returns ms until the last answer, -1 when one
// did not come within the bound. _nWrong counts answers that came with the wrong data.
qint64 RunAtOnce(void* _pContext, quint16 _nPort, const std::vector<Command>& _vecCommands, int& _nWrong)
{
    // Names are never reused: the service would not hand a name over to a new connection.
    static int s_nRun = 0;
    ++s_nRun;
    std::vector<void*> sockets;
    for (size_t i = 0; i < _vecCommands.size(); ++i) {
        const QByteArray name = QStringLiteral("bench-net-%1-%2").arg(s_nRun).arg(i).toUtf8();
        void* socket = BenchDealer(_pContext, name, _nPort);
        BenchSend(socket, makeLogin(QString::fromUtf8(name)).ToString());
        BenchReceive(socket);
        sockets.push_back(socket);
    }
    std::vector<zmq_pollitem_t> items;
    for (void* socket : sockets)
        items.push_back({socket, 0, ZMQ_POLLIN, 0});
    std::vector<bool> done(sockets.size(), false);
    size_t remaining = sockets.size();
    std::vector<QByteArray> bodies;
    for (size_t i = 0; i < sockets.size(); ++i) {
        JsonCommand request = _vecCommands[i].request;
        request.from = QStringLiteral("bench-net-%1-%2").arg(s_nRun).arg(i); // answers go to "from"
        bodies.push_back(request.ToString());
    }
    QElapsedTimer timer;
    timer.start();
    for (size_t i = 0; i < sockets.size(); ++i)
        BenchSend(sockets[i], bodies[i]);
    while (remaining > 0 && timer.elapsed() < 60000) {
        if (zmq_poll(items.data(), int(items.size()), 1000) <= 0)
            continue;
        for (size_t i = 0; i < items.size(); ++i) {
            if (!(items[i].revents & ZMQ_POLLIN))
                continue;
            bool right = false;
            if (IsResultFor(BenchReceive(sockets[i], 0), _vecCommands[i], right) && !done[i]) {
                done[i] = true;
                --remaining;
                _nWrong += right ? 0 : 1;
            }
        }
    }
    const qint64 elapsed = timer.elapsed();
    for (void* socket : sockets)
        zmq_close(socket);
    return remaining == 0 ? elapsed : -1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PORT (of bench/probe_server.py)\n", argv[0]);
        return 2;
    }
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(argv[1]);
    const int clients = qEnvironmentVariableIntValue("QORV_BENCH_CLIENTS") > 0
                            ? qEnvironmentVariableIntValue("QORV_BENCH_CLIENTS")
                            : 100;
    ServiceProcess service({{"network/publicNetworkUrl", base + "/ok/public"},
                            {"network/probeTimeoutSeconds", QString::number(kTimeoutSeconds)}});
    if (!service.start()) {
        std::fprintf(stderr, "cannot start the service: %s\n", qPrintable(service.errorString()));
        return 1;
    }
    void* context = zmq_ctx_new();
    std::vector<Command> commands;
    for (int i = 0; i < clients; ++i)
        commands.push_back(MakeCommand(base, i));

    // The peer: one command of each shape (2 or 3 silent addresses) sent alone.
    int wrongAlone = 0;
    qint64 slowestAlone = 0;
    for (int i = 0; i < qMin(2, clients); ++i) {
        const qint64 ms = RunAtOnce(context, service.zmqPort(), {commands[size_t(i)]}, wrongAlone);
        std::printf("command %d alone (%d silent addresses): %lld ms\n", i, i % 2 == 0 ? 2 : 3,
                    qlonglong(ms));
        slowestAlone = ms < 0 ? ms : qMax(slowestAlone, ms);
    }
    const qint64 rssBefore = StatusKb(service.pid(), "VmRSS:");
    int wrong = 0;
    const qint64 together = RunAtOnce(context, service.zmqPort(), commands, wrong);
    const qint64 peak = StatusKb(service.pid(), "VmHWM:");
    const qint64 rssAfter = StatusKb(service.pid(), "VmRSS:");
    zmq_ctx_term(context);
    service.stop();

    std::printf("%d commands at once: %lld ms until every answer, %d wrong answers (alone: %d wrong)\n",
                clients, qlonglong(together), wrong, wrongAlone);
    std::printf("slowest command alone: %lld ms; at once / alone = %.2f (target <= 1.20)\n",
                qlonglong(slowestAlone), slowestAlone > 0 ? double(together) / double(slowestAlone) : -1.0);
    std::printf("service memory: peak %lld KiB (VmHWM), resident %lld KiB before the run, %lld KiB after\n",
                qlonglong(peak), qlonglong(rssBefore), qlonglong(rssAfter));
    const bool ok = together > 0 && wrong == 0 && wrongAlone == 0 && slowestAlone > 0;
    return ok ? 0 : 1;
}
