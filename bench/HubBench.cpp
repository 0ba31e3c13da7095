// Hub benchmark: ZeroMQ clients exchange ~400-byte transfer envelopes through the running
// service (ping-pong and pipelined), a command round trip through the ability manager, and the
// service's resident memory over a long run; next to a raw libzmq ROUTER echo in the same run.
#include "bench/BenchDealer.h"
#include "tests/support/ServiceHarness.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <zmq.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

void* g_context = nullptr;

void* Dealer(const QByteArray& _baName, quint16 _nPort)
{
    return BenchDealer(g_context, _baName, _nPort);
}

void SendBody(void* _pSocket, const QByteArray& _baBody)
{
    BenchSend(_pSocket, _baBody);
}

QByteArray ReceiveBody(void* _pSocket, int _nTimeoutMs = 10000)
{
    return BenchReceive(_pSocket, _nTimeoutMs);
}

bool IsAnswer(const QByteArray& _baBody)
{
    return _baBody.contains("\"type\":\"transfer_ret\"") || _baBody.contains("\"type\":\"notify_ret\"") ||
           _baBody.contains("\"type\":\"command_ret\"");
}

// The next message that is not a hub answer.
QByteArray ReceiveRelayed(void* _pSocket)
{
    for (;;) {
        const QByteArray body = ReceiveBody(_pSocket);
        if (body.isEmpty() || !IsAnswer(body))
            return body;
    }
}

void Login(void* _pSocket, const QByteArray& _baName)
{
    SendBody(_pSocket, makeLogin(QString::fromUtf8(_baName)).ToString());
    ReceiveBody(_pSocket);
}

QByteArray Envelope400(const QString& _qstrTo)
{
    JsonCommand env = makeTransfer({_qstrTo}, QString(200, 'p'), "bench");
    env.from = "bench";
    return env.ToString();
}

struct Figures
{
    double rate = 0;
    double p50 = 0;
    double p99 = 0;
};

Figures Summarise(std::vector<qint64>& _vecNs, qint64 _nTotalNs)
{
    std::sort(_vecNs.begin(), _vecNs.end());
    Figures f;
    f.rate = _vecNs.size() * 1e9 / double(_nTotalNs);
    f.p50 = _vecNs[_vecNs.size() / 2] / 1000.0;
    f.p99 = _vecNs[_vecNs.size() * 99 / 100] / 1000.0;
    return f;
}

// A plain ROUTER that sends every message straight back: the peer the hub is measured against.
class RawEcho
{
public:
    RawEcho()
    {
        m_nPort = pickFreePort();
        m_pSocket = zmq_socket(g_context, ZMQ_ROUTER);
        const int zero = 0;
        zmq_setsockopt(m_pSocket, ZMQ_LINGER, &zero, sizeof zero);
        zmq_setsockopt(m_pSocket, ZMQ_SNDHWM, &zero, sizeof zero);
        zmq_setsockopt(m_pSocket, ZMQ_RCVHWM, &zero, sizeof zero);
        zmq_bind(m_pSocket, QByteArray("tcp://127.0.0.1:" + QByteArray::number(m_nPort)).constData());
        m_thread = std::thread([this]() { Run(); });
    }
    ~RawEcho()
    {
        m_blStop = true;
        m_thread.join();
        zmq_close(m_pSocket);
    }
    quint16 Port() const { return m_nPort; }

private:
    void Run()
    {
        zmq_pollitem_t item{m_pSocket, 0, ZMQ_POLLIN, 0};
        while (!m_blStop) {
            if (zmq_poll(&item, 1, 100) <= 0)
                continue;
            std::vector<zmq_msg_t> parts;
            int more = 1;
            while (more) {
                parts.emplace_back();
                zmq_msg_init(&parts.back());
                zmq_msg_recv(&parts.back(), m_pSocket, 0);
                more = zmq_msg_more(&parts.back());
            }
            for (size_t i = 0; i < parts.size(); ++i)
                zmq_msg_send(&parts[i], m_pSocket, i + 1 < parts.size() ? ZMQ_SNDMORE : 0);
        }
    }

    void* m_pSocket = nullptr;
    quint16 m_nPort = 0;
    std::atomic<bool> m_blStop{false};
    std::thread m_thread;
};

Figures EchoPingPong(quint16 _nPort, int _nCount)
{
    void* client = Dealer("echo-client", _nPort);
    const QByteArray body = Envelope400("echo-client");
    std::vector<qint64> ns;
    QElapsedTimer total, one;
    for (int i = 0; i < _nCount / 10; ++i) { // warm-up
        SendBody(client, body);
        ReceiveBody(client);
    }
    total.start();
    for (int i = 0; i < _nCount; ++i) {
        one.start();
        SendBody(client, body);
        ReceiveBody(client);
        ns.push_back(one.nsecsElapsed());
    }
    const qint64 elapsed = total.nsecsElapsed();
    zmq_close(client);
    return Summarise(ns, elapsed);
}

// One hop is client -> service -> client, the same path as one raw echo round trip.
Figures RelayPingPong(quint16 _nPort, int _nCount)
{
    void* a = Dealer("bench-a", _nPort);
    void* b = Dealer("bench-b", _nPort);
    Login(a, "bench-a");
    Login(b, "bench-b");
    const QByteArray toB = Envelope400("bench-b"), toA = Envelope400("bench-a");
    std::vector<qint64> ns;
    QElapsedTimer total, one;
    for (int i = 0; i < _nCount / 10; ++i) {
        SendBody(a, toB);
        ReceiveRelayed(b);
    }
    total.start();
    for (int i = 0; i < _nCount / 2; ++i) {
        one.start();
        SendBody(a, toB);
        ReceiveRelayed(b);
        ns.push_back(one.nsecsElapsed());
        one.start();
        SendBody(b, toA);
        ReceiveRelayed(a);
        ns.push_back(one.nsecsElapsed());
    }
    const qint64 elapsed = total.nsecsElapsed();
    zmq_close(a);
    zmq_close(b);
    return Summarise(ns, elapsed);
}

// Sender and receiver on their own threads; a sliding window keeps the pipe full.
double Pipelined(quint16 _nPort, int _nCount, bool _blThroughHub)
{
    const QByteArray receiverName = _blThroughHub ? "pipe-b" : "pipe-a";
    void* a = Dealer("pipe-a", _nPort);
    void* b = _blThroughHub ? Dealer(receiverName, _nPort) : nullptr;
    if (_blThroughHub) {
        Login(a, "pipe-a");
        Login(b, receiverName);
    }
    const QByteArray body = Envelope400(QString::fromUtf8(receiverName));
    std::atomic<int> received{0};
    QElapsedTimer timer;
    timer.start();
    std::thread reader;
    if (_blThroughHub)
        reader = std::thread([&]() {
            while (received < _nCount && !ReceiveBody(b).isEmpty())
                ++received;
        });
    int sent = 0, answers = 0;
    const int window = 20000;
    while (sent < _nCount || answers < _nCount) {
        const int done = _blThroughHub ? received.load() : answers;
        if (sent < _nCount && sent - done < window) {
            SendBody(a, body);
            ++sent;
            continue;
        }
        // The sender reads its own answers (hub) or echoes (raw) on its own thread.
        if (ReceiveBody(a, sent < _nCount ? 1 : 10000).isEmpty() && sent >= _nCount)
            break;
        ++answers;
    }
    if (reader.joinable())
        reader.join();
    const double rate = _nCount * 1000.0 / timer.elapsed();
    zmq_close(a);
    if (b)
        zmq_close(b);
    return rate;
}

Figures CommandRoundTrip(quint16 _nPort, int _nCount, bool& _blAvailable)
{
    void* c = Dealer("bench-cmd", _nPort);
    Login(c, "bench-cmd");
    std::vector<qint64> ns;
    QElapsedTimer total, one;
    total.start();
    _blAvailable = true;
    for (int i = 0; i < _nCount; ++i) {
        JsonCommand cmd = makeCommand("command", "stop_download", "{}", "bench-cmd");
        one.start();
        SendBody(c, cmd.ToString());
        for (;;) { // the hub's "command_ret", then the ability's own answer
            JsonCommand ans;
            ans.LoadFromString(ReceiveBody(c));
            if (ans.error_code == -3 || ans.type.isEmpty()) {
                _blAvailable = false;
                zmq_close(c);
                return {};
            }
            if (ans.type == "transfer")
                break;
        }
        ns.push_back(one.nsecsElapsed());
    }
    const qint64 elapsed = total.nsecsElapsed();
    zmq_close(c);
    return Summarise(ns, elapsed);
}

double ResidentMiB(qint64 _nPid)
{
    QFile status(QString("/proc/%1/status").arg(_nPid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

// User plus system CPU time of a process so far, in microseconds; a cost per message that
// holds on a loaded machine, where the rates above swing with the other load.
double CpuMicroseconds(qint64 _nPid)
{
    QFile stat(QString("/proc/%1/stat").arg(_nPid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // The fields after the command name, which may hold blanks, start past its closing ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return (fields[11].toDouble() + fields[12].toDouble()) * 1e6 / double(sysconf(_SC_CLK_TCK));
}

void Print(const char* _szName, const Figures& _f)
{
    std::printf("%-34s %10.0f msg/s   p50 %7.1f us   p99 %7.1f us\n", _szName, _f.rate, _f.p50, _f.p99);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int pingPong = qEnvironmentVariableIntValue("QORV_BENCH_PINGPONG") ?: 20000;
    const int pipelined = qEnvironmentVariableIntValue("QORV_BENCH_PIPELINED") ?: 200000;
    const int memoryRun = qEnvironmentVariableIntValue("QORV_BENCH_MEMORY") ?: 1000000;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    g_context = zmq_ctx_new();
    {
        // QORV_BENCH_LOGLEVEL shows what the two warning lines per envelope cost.
        const QString level = qEnvironmentVariable("QORV_BENCH_LOGLEVEL", "1");
        ServiceProcess service(QMap<QString, QString>{{"log/level", level}});
        if (!service.start()) {
            std::fprintf(stderr, "cannot start the service: %s\n", qPrintable(service.errorString()));
            return 1;
        }
        RawEcho echo;
        std::printf("hub benchmark: ~%d-byte transfer envelopes, service log level %s\n",
                    int(Envelope400("bench-b").size()), qPrintable(level));

        const Figures rawPing = EchoPingPong(echo.Port(), pingPong);
        const Figures relayPing = RelayPingPong(service.zmqPort(), pingPong);
        Print("raw ROUTER echo, ping-pong", rawPing);
        Print("hub relay, ping-pong", relayPing);
        std::printf("  ratio relay/echo: %.2f (target >= 0.80)\n", relayPing.rate / rawPing.rate);

        const double rawPipe = Pipelined(echo.Port(), pipelined, false);
        const double cpuBefore = CpuMicroseconds(service.pid());
        const double relayPipe = Pipelined(service.zmqPort(), pipelined, true);
        const double cpuPerRelay = (CpuMicroseconds(service.pid()) - cpuBefore) / pipelined;
        std::printf("%-34s %10.0f msg/s\n", "raw ROUTER echo, pipelined", rawPipe);
        std::printf("%-34s %10.0f msg/s   (target >= 120000; ratio to echo %.2f)\n", "hub relay, pipelined",
                    relayPipe, relayPipe / rawPipe);
        std::printf("  service CPU per relayed envelope: %.1f us (all its threads)\n", cpuPerRelay);

        bool available = false;
        const Figures command = CommandRoundTrip(service.zmqPort(), 2000, available);
        if (available)
            Print("command via ability manager", command);
        else
            std::printf("command via ability manager: n/a (no ability offers stop_download in this build)\n");

        Pipelined(service.zmqPort(), 100000, true);
        const double before = ResidentMiB(service.pid());
        QElapsedTimer timer;
        timer.start();
        Pipelined(service.zmqPort(), memoryRun, true);
        const double after = ResidentMiB(service.pid());
        std::printf(
            "resident memory: %.1f MiB after 100k warm-up, %.1f MiB after %d more (%+.1f MiB, %.0f s)\n",
            before, after, memoryRun, after - before, timer.elapsed() / 1000.0);
        service.stop();
    }
    zmq_ctx_term(g_context);
    return 0;
}
