// Full-screen capture of a 1920 x 1080 Xvfb screen showing a photo-like image: from the request
// to the complete answer at a ZeroMQ client, next to `scrot` writing a PNG of the same screen,
// interleaved round by round in the same run. Prints medians, the ratio and both PNG sizes.
// Then 1, 8 and 32 requests at once (one ZeroMQ client each) on a 3840 x 2160 screen, each
// against a fresh service: the answers and the service's peak memory, beside the figures
// measured before requests shared a grab. Last, in a Wayland session on headless sway, a capture
// through the screenshot portal next to grim.
#include "bench/BenchDealer.h"
#include "tests/snap/HeadlessSway.h"
#include "tests/snap/PrivateSessionBus.h"
#include "tests/snap/ScreenPattern.h"
#include "tests/support/ServiceHarness.h"
#include "tests/support/XvfbDisplay.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

double Median(std::vector<double> _vec)
{
    std::sort(_vec.begin(), _vec.end());
    return _vec[_vec.size() / 2];
}

// Milliseconds from the request to its final answer; the PNG's size through _pBytes.
double CaptureOnce(void* _pSocket, qint64* _pBytes)
{
    const JsonCommand request = makeCommand(QStringLiteral("command"), QStringLiteral("snap_shot_fullscreen"),
                                            QString(), QStringLiteral("bench-snap"));
    QElapsedTimer timer;
    timer.start();
    BenchSend(_pSocket, request.ToString());
    for (;;) {
        const QByteArray body = BenchReceive(_pSocket, 30000);
        // The answer is complete once its bytes are here; checking it is the client's own cost.
        const double ms = timer.nsecsElapsed() / 1e6;
        if (body.isEmpty())
            return -1;
        JsonCommand answer;
        answer.LoadFromString(body);
        if (answer.guid != request.guid || answer.type != QLatin1String("transfer"))
            continue;
        const QJsonObject data = QJsonDocument::fromJson(answer.data.toUtf8()).object();
        *_pBytes =
            QByteArray::fromBase64(data.value(QStringLiteral("imgBase64")).toString().toLatin1()).size();
        return answer.error_code == 0 ? ms : -1;
    }
}

struct AtOnce
{
    int taken = 0;   // answered with a picture
    int refused = 0; // answered with a failure
    qint64 ms = -1;  // until the last answer
    qint64 peakKb = -1;
    qint64 idleKb = -1;
};

// _nCount clients each ask for the full screen at the same moment; a fresh service answers.
AtOnce CaptureAtOnce(const XvfbDisplay& _display, int _nCount)
{
    AtOnce result;
    ServiceProcess service;
    service.setDisplay(_display.display());
    if (!service.start()) {
        std::fprintf(stderr, "snap bench: cannot start: %s\n", qPrintable(service.errorString()));
        return result;
    }
    void* context = zmq_ctx_new();
    std::vector<void*> sockets;
    for (int i = 0; i < _nCount; ++i) {
        const QByteArray name = "bench-snap-" + QByteArray::number(i);
        sockets.push_back(BenchDealer(context, name, service.zmqPort()));
        BenchSend(sockets.back(), makeLogin(QString::fromLatin1(name)).ToString());
        BenchReceive(sockets.back());
    }
    result.idleKb = StatusKb(service.pid(), "VmRSS:");
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < _nCount; ++i)
        BenchSend(sockets[size_t(i)],
                  makeCommand(QStringLiteral("command"), QStringLiteral("snap_shot_fullscreen"), QString(),
                              QStringLiteral("bench-snap-%1").arg(i))
                      .ToString());
    std::vector<bool> answered(size_t(_nCount), false);
    int left = _nCount;
    while (left > 0 && timer.elapsed() < 300000) {
        std::vector<zmq_pollitem_t> items;
        for (void* socket : sockets)
            items.push_back({socket, 0, ZMQ_POLLIN, 0});
        if (zmq_poll(items.data(), int(items.size()), 1000) <= 0)
            continue;
        for (size_t i = 0; i < items.size(); ++i) {
            if (!(items[i].revents & ZMQ_POLLIN))
                continue;
            const QByteArray body = BenchReceive(sockets[i], 0);
            // The keys after "data" say what it is; the picture itself is not looked at.
            const QByteArray tail = body.right(4096);
            if (answered[i] || !tail.contains("\"type\":\"transfer\""))
                continue;
            answered[i] = true;
            --left;
            (tail.contains("\"error_code\":0,") ? result.taken : result.refused) += 1;
        }
    }
    result.ms = left == 0 ? timer.elapsed() : -1;
    result.peakKb = StatusKb(service.pid(), "VmHWM:");
    for (void* socket : sockets)
        zmq_close(socket);
    zmq_ctx_term(context);
    service.stop();
    return result;
}

double ScrotOnce(const XvfbDisplay& _display, const QString& _qstrFile)
{
    QElapsedTimer timer;
    timer.start();
    bool ok = false;
    _display.run(QStringLiteral("scrot"), {QStringLiteral("-o"), _qstrFile}, &ok, 30000);
    return ok ? timer.nsecsElapsed() / 1e6 : -1;
}

// Peak memory of the service before requests shared a grab (each had its own grab, encoding,
// thread and re-serialised answer), measured on the 2-core benchmark machine with this program.
struct Before
{
    int count;
    const char* peak;
};
const Before kBefore[] = {{1, "198 MB"}, {8, "432 MB"}, {32, "1,142 MB"}};

bool AtOnceOnLargeScreen()
{
    XvfbDisplay display;
    if (!display.start(QSize(3840, 2160))) {
        std::fprintf(stderr, "snap bench: %s\n", qPrintable(display.errorString()));
        return false;
    }
    auto pattern = display.launch(QStringLiteral(QORV_PATTERN_WINDOW), {QStringLiteral("photo")},
                                  QStringLiteral("ready"), 60000);
    if (!pattern)
        return false;
    std::printf(
        "\nfull-screen requests at once, 3840x2160 photo-like, one client each, a fresh service each\n");
    std::printf("  at once  pictures  refused  last answer  peak memory (VmHWM)  idle    before\n");
    bool ok = true;
    qint64 peak32 = -1;
    for (const Before& before : kBefore) {
        const AtOnce run = CaptureAtOnce(display, before.count);
        std::printf("  %7d  %8d  %7d  %8lld ms  %15lld MB  %3lld MB  %s\n", before.count, run.taken,
                    run.refused, qlonglong(run.ms), qlonglong(run.peakKb / 1024),
                    qlonglong(run.idleKb / 1024), before.peak);
        ok = ok && run.ms >= 0 && run.taken >= 1;
        if (before.count == 32)
            peak32 = run.peakKb / 1024;
    }
    std::printf("  goal: 32 at once below 600 MB peak: %s\n",
                peak32 >= 0 && peak32 < 600 ? "met" : "NOT met");
    pattern->kill();
    pattern->waitForFinished(5000);
    return ok;
}

double GrimOnce(const HeadlessSway& _sway, const QString& _qstrFile)
{
    QProcess grim;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(_sway.sessionEnvironment());
    grim.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    grim.start(QStringLiteral("grim"), {_qstrFile});
    const bool ok = grim.waitForFinished(30000) && grim.exitCode() == 0;
    return ok ? timer.nsecsElapsed() / 1e6 : -1;
}

// In a Wayland session: headless sway showing the photo-like image in an XWayland window, the
// service capturing through the real screenshot portal, grim (the wlroots screenshot tool the
// portal's backend itself runs) on the same screen, round by round.
// Both sides of one comparison: the service's capture over ZeroMQ against a peer program,
// one unmeasured round each to warm caches and the connection, then alternating rounds.
struct Rounds
{
    std::vector<double> ours, peer;
    qint64 ourBytes = 0;
    qint64 peerBytes = 0;
    bool ok = true;
};

Rounds Alternate(quint16 _nZmqPort, int _nRounds, const std::function<double()>& _fnPeerOnce,
                 const QString& _qstrPeerFile)
{
    Rounds r;
    void* context = zmq_ctx_new();
    void* socket = BenchDealer(context, "bench-snap", _nZmqPort);
    BenchSend(socket, makeLogin(QStringLiteral("bench-snap")).ToString());
    BenchReceive(socket);
    CaptureOnce(socket, &r.ourBytes);
    _fnPeerOnce();
    for (int i = 0; i < _nRounds && r.ok; ++i) {
        r.ours.push_back(CaptureOnce(socket, &r.ourBytes));
        r.peer.push_back(_fnPeerOnce());
        r.ok = r.ours.back() >= 0 && r.peer.back() >= 0;
    }
    zmq_close(socket);
    zmq_ctx_term(context);
    r.peerBytes = QFileInfo(_qstrPeerFile).size();
    return r;
}

// Median and minimum of both sides, their PNG sizes, and the ratio of the medians.
void PrintRounds(const Rounds& _r, const char* _szOurs, const char* _szPeer, const char* _szRatio)
{
    const double ourMedian = Median(_r.ours), peerMedian = Median(_r.peer);
    std::printf("  %-28s %8.1f ms  %8.1f ms  PNG %lld bytes\n", _szOurs, ourMedian,
                *std::min_element(_r.ours.begin(), _r.ours.end()), static_cast<long long>(_r.ourBytes));
    std::printf("  %-28s %8.1f ms  %8.1f ms  PNG %lld bytes\n", _szPeer, peerMedian,
                *std::min_element(_r.peer.begin(), _r.peer.end()), static_cast<long long>(_r.peerBytes));
    std::printf("  %s: %.2f\n", _szRatio, ourMedian / peerMedian);
}

bool PortalAgainstGrim(int _nRounds)
{
    const QStringList missing = HeadlessSway::missingPrograms();
    if (!missing.isEmpty()) {
        std::printf("\nportal capture: skipped, missing %s\n", qPrintable(missing.join(QLatin1String(", "))));
        return true;
    }
    HeadlessSway sway;
    PrivateSessionBus bus;
    QTemporaryDir runtime;
    QString error;
    if (!sway.start(QSize(1920, 1080), QStringLiteral("#336699")) || !bus.start(true) ||
        !sway.startPortal(bus, runtime.path(), &error)) {
        std::fprintf(stderr, "snap bench: the Wayland session did not start: %s %s %s\n",
                     qPrintable(sway.errorString()), qPrintable(bus.errorString()), qPrintable(error));
        return false;
    }
    XvfbDisplay x11;
    x11.attach(sway.x11Display());
    // XWayland cannot read its own screen back: the window is ready once grim sees it.
    auto pattern = x11.launch(QStringLiteral(QORV_PATTERN_WINDOW), {QStringLiteral("photo")}, QString());
    const QPoint probe(960, 540);
    if (pattern && !QTest::qWaitFor(
                       [&] {
                           const QImage screen = sway.grim();
                           return !screen.isNull() &&
                                  (screen.pixel(probe) & 0xffffff) ==
                                      (ScreenPattern::PhotoLike(probe.x(), probe.y()) & 0xffffff);
                       },
                       60000))
        pattern.reset();
    ServiceProcess service;
    const QProcessEnvironment env = sway.sessionEnvironment();
    for (const QString& key : env.keys())
        service.setEnvironment(key, env.value(key));
    service.setEnvironment(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
    service.setEnvironment(QStringLiteral("QT_QPA_PLATFORM"), QString());
    if (!pattern || !service.start()) {
        std::fprintf(stderr, "snap bench: cannot start in the Wayland session: %s\n",
                     qPrintable(service.errorString()));
        return false;
    }
    QTemporaryDir dir;
    const QString grimFile = dir.path() + QStringLiteral("/grim.png");
    const Rounds r = Alternate(
        service.zmqPort(), _nRounds, [&]() { return GrimOnce(sway, grimFile); }, grimFile);
    pattern->kill();
    pattern->waitForFinished(5000);
    if (!r.ok) {
        std::fprintf(stderr,
                     "snap bench: a capture in the Wayland session failed (service %.0f ms, grim %.0f ms)\n",
                     r.ours.back(), r.peer.back());
        return false;
    }
    std::printf(
        "\nfull-screen capture in a Wayland session (headless sway, 1920x1080, photo-like window), %d "
        "rounds (median, min)\n",
        _nRounds);
    PrintRounds(r, "service through the portal:", "grim, writing a PNG:",
                "ratio service / grim (target: at most 1.30)");
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = qEnvironmentVariableIntValue("QORV_BENCH_ROUNDS") > 0
                           ? qEnvironmentVariableIntValue("QORV_BENCH_ROUNDS")
                           : 15;
    XvfbDisplay display;
    if (!display.start()) {
        std::fprintf(stderr, "snap bench: %s\n", qPrintable(display.errorString()));
        return 1;
    }
    auto pattern = display.launch(QStringLiteral(QORV_PATTERN_WINDOW), {QStringLiteral("photo")},
                                  QStringLiteral("ready"));
    ServiceProcess service;
    service.setDisplay(display.display());
    if (!pattern || !service.start()) {
        std::fprintf(stderr, "snap bench: cannot start: %s\n", qPrintable(service.errorString()));
        return 1;
    }
    QTemporaryDir dir;
    const QString scrotFile = dir.path() + QStringLiteral("/scrot.png");
    const Rounds r = Alternate(
        service.zmqPort(), rounds, [&]() { return ScrotOnce(display, scrotFile); }, scrotFile);
    pattern->kill();
    pattern->waitForFinished(5000);
    if (!r.ok) {
        std::fprintf(stderr, "snap bench: a capture failed in round %d\n",
                     static_cast<int>(r.ours.size()) - 1);
        return 1;
    }
    std::printf("full-screen capture, 1920x1080 photo-like, %d rounds (median, min)\n", rounds);
    PrintRounds(r, "service, request to answer:", "scrot, writing a PNG:",
                "ratio service / scrot (target: at most 1.00)");
    const bool portal = PortalAgainstGrim(rounds);
    return AtOnceOnLargeScreen() && portal ? 0 : 1;
}
