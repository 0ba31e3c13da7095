// Notices benchmark on a private Xvfb display: from a command sent over ZeroMQ to its window
// being mapped (X MapNotify seen by a separate client), for a toast and for a tips window,
// next to the peer xmessage (x11-utils) from its start to its window being mapped; then the
// service's resident memory before and after 10,000 tips commands (sent over the WebSocket),
// once those have closed.
#include "bench/BenchDisplay.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <xcb/xcb.h>

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// QORV_BENCH_RUNS and QORV_BENCH_TIPS change the two counts.
const int kRuns =
    qEnvironmentVariableIsSet("QORV_BENCH_RUNS") ? qEnvironmentVariableIntValue("QORV_BENCH_RUNS") : 200;
const int kTipsForMemory =
    qEnvironmentVariableIsSet("QORV_BENCH_TIPS") ? qEnvironmentVariableIntValue("QORV_BENCH_TIPS") : 10000;

// Watches the root window for top-level windows being mapped, unmapped and destroyed.
class MapWatcher
{
public:
    explicit MapWatcher(const QString& _qstrDisplay)
    {
        m_pConn = xcb_connect(_qstrDisplay.toLatin1().constData(), nullptr);
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(m_pConn)).data;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_pConn, screen->root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(m_pConn);
    }
    ~MapWatcher() { xcb_disconnect(m_pConn); }

    // Waits for the next event of this type (XCB_MAP_NOTIFY, ...); false after the bound.
    bool Wait(uint8_t _nType, int _nTimeoutMs = 10000)
    {
        QElapsedTimer clock;
        clock.start();
        do {
            while (xcb_generic_event_t* event = xcb_poll_for_event(m_pConn)) {
                const uint8_t type = event->response_type & 0x7f;
                free(event);
                Count(type);
                if (type == _nType)
                    return true;
            }
            pollfd fd{xcb_get_file_descriptor(m_pConn), POLLIN, 0};
            if (_nTimeoutMs > 0)
                poll(&fd, 1, 20);
        } while (clock.elapsed() < _nTimeoutMs);
        return false;
    }
    // Reads what has arrived; no event has this type.
    void Drain() { Wait(0xff, 0); }
    int destroyed = 0;
    int mapped = 0;

private:
    void Count(uint8_t _nType)
    {
        destroyed += _nType == XCB_DESTROY_NOTIFY ? 1 : 0;
        mapped += _nType == XCB_MAP_NOTIFY ? 1 : 0;
    }
    xcb_connection_t* m_pConn;
};

struct Figures
{
    double median = 0;
    double p99 = 0;
};

Figures Summarise(std::vector<double> _vecMs)
{
    std::sort(_vecMs.begin(), _vecMs.end());
    if (_vecMs.empty())
        return {};
    return {_vecMs[_vecMs.size() / 2], _vecMs[std::min(_vecMs.size() - 1, _vecMs.size() * 99 / 100)]};
}

void Drain(ZmqTestClient& _client)
{
    while (_client.receive(0)) {
    }
}

// Command to MapNotify, each window allowed to close (MapNotify's unmap) before the next one.
std::vector<double> CommandToMapped(ZmqTestClient& _client, MapWatcher& _watcher, const QString& _qstrCommand,
                                    const QString& _qstrBody)
{
    std::vector<double> times;
    _watcher.Drain();
    _watcher.mapped = 0;
    for (int i = 0; i < kRuns; ++i) {
        _watcher.Drain();
        QElapsedTimer clock;
        clock.start();
        _client.send(makeCommand(QStringLiteral("command"), _qstrCommand, _qstrBody));
        if (!_watcher.Wait(XCB_MAP_NOTIFY))
            return {};
        times.push_back(clock.nsecsElapsed() / 1e6);
        _watcher.Wait(XCB_UNMAP_NOTIFY);
        Drain(_client);
    }
    // One window mapped per command, or the times above measured something else.
    _watcher.Wait(0xff, 500);
    if (_watcher.mapped != kRuns)
        std::fprintf(stderr, "%s: %d windows mapped for %d commands\n", qPrintable(_qstrCommand),
                     _watcher.mapped, kRuns);
    return times;
}

std::vector<double> XmessageToMapped(XvfbDisplay& _display, MapWatcher& _watcher)
{
    std::vector<double> times;
    for (int i = 0; i < kRuns; ++i) {
        _watcher.Drain();
        QProcess xmessage;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), _display.display());
        xmessage.setProcessEnvironment(env);
        QElapsedTimer clock;
        clock.start();
        xmessage.start(QStringLiteral("xmessage"), {QStringLiteral("-geometry"), QStringLiteral("+1642+926"),
                                                    QStringLiteral("当前网络异常")});
        const bool mapped = _watcher.Wait(XCB_MAP_NOTIFY);
        const double ms = clock.nsecsElapsed() / 1e6;
        xmessage.kill();
        xmessage.waitForFinished(5000);
        if (!mapped)
            return {};
        times.push_back(ms);
    }
    return times;
}

long RssKiB(qint64 _nPid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(_nPid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

QString TipsBody(const QString& _qstrQss, int _nShowTime)
{
    return QStringLiteral(
               R"({"width":258,"height":84,"show_time":%2,"logo_show":true,"main_tips":true,)"
               R"("view_data":{"obj_name":"viewTips","border_radius":12},)"
               R"("logo_data":{"obj_name":"lblLogoNetworkErrorImage","width":40,"height":40,"margin_top":8},)"
               R"("main_tips_data":{"obj_name":"lblMainTips","show_name":"当前网络异常, 请检查网络连接!",)"
               R"("width":190,"height":20,"font_size":14,"margin_top":4},)"
               R"("view_tips_qss_path":"%1/qss/network_error_tips.qss","view_tips_image_path":"%1/image",)"
               R"("view_tips_image_replace":"%path%"})")
        .arg(_qstrQss)
        .arg(_nShowTime);
}

void Print(const char* _szWhat, const Figures& _f, const Figures& _peer)
{
    std::printf("%-34s median %7.2f ms   p99 %7.2f ms   (xmessage: median x%.2f, p99 x%.2f)\n", _szWhat,
                _f.median, _f.p99, _peer.median > 0 ? _f.median / _peer.median : 0,
                _peer.p99 > 0 ? _f.p99 / _peer.p99 : 0);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    XvfbDisplay display;
    ServiceProcess service;
    if (!StartOnPrivateDisplay(display, service))
        return 1;
    ZmqTestClient client(QStringLiteral("notices_bench"), service.zmqPort());
    if (!client.login())
        return 1;
    MapWatcher watcher(display.display());
    const QString qss = service.binDir() + QStringLiteral("/qss");

    const Figures peer = Summarise(XmessageToMapped(display, watcher));
    const Figures toast = Summarise(CommandToMapped(
        client, watcher, QStringLiteral("command_custom_toast"),
        QStringLiteral(R"({"message":"磁盘空间不足","timeRemain":0,"position":"bottom-right"})")));
    const Figures tips = Summarise(
        CommandToMapped(client, watcher, QStringLiteral("command_show_tips_view"), TipsBody(qss, 0)));
    std::printf("command to window mapped on Xvfb, %d runs each\n", kRuns);
    Print("xmessage, start to mapped (peer)", peer, peer);
    Print("toast", toast, peer);
    Print("tips window", tips, peer);

    // Over the WebSocket: the memory figure is the windows', not the ZeroMQ transport's.
    WsTestClient ws(QStringLiteral("notices_bench_ws"), service.wsPort());
    if (!ws.login())
        return 1;
    const long before = RssKiB(service.pid());
    watcher.destroyed = 0;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kTipsForMemory; ++i) {
        ws.send(makeCommand(QStringLiteral("command"), QStringLiteral("command_show_tips_view"),
                            TipsBody(qss, 0)));
        // Paced by the hub's answers so no queue grows.
        if (!ws.receive(10000))
            break;
        watcher.Drain();
    }
    while (watcher.destroyed < kTipsForMemory && watcher.Wait(XCB_DESTROY_NOTIFY, 10000)) {
    }
    const double seconds = clock.elapsed() / 1000.0;
    const long after = RssKiB(service.pid());
    std::printf("%d tips commands in %.1f s, %d windows destroyed; service RSS %.1f MiB before, %.1f MiB "
                "after (%+.2f MiB; target within 2 MiB)\n",
                kTipsForMemory, seconds, watcher.destroyed, before / 1024.0, after / 1024.0,
                (after - before) / 1024.0);
    return 0;
}
