// Full-screen capture of a 1920 x 1080 Xvfb screen showing a photo-like image: from the request
// to the complete answer at a ZeroMQ client, next to `scrot` writing a PNG of the same screen,
// interleaved round by round in the same run. Prints medians, the ratio and both PNG sizes.
#include "bench/BenchDealer.h"
#include "tests/e2e/ServiceHarness.h"
#include "tests/e2e/XvfbDisplay.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
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

double ScrotOnce(const XvfbDisplay& _display, const QString& _qstrFile)
{
    QElapsedTimer timer;
    timer.start();
    bool ok = false;
    _display.run(QStringLiteral("scrot"), {QStringLiteral("-o"), _qstrFile}, &ok, 30000);
    return ok ? timer.nsecsElapsed() / 1e6 : -1;
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
    service.setEnvironment(QStringLiteral("DISPLAY"), display.display());
    service.setEnvironment(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    if (!pattern || !service.start()) {
        std::fprintf(stderr, "snap bench: cannot start: %s\n", qPrintable(service.errorString()));
        return 1;
    }
    void* context = zmq_ctx_new();
    void* socket = BenchDealer(context, "bench-snap", service.zmqPort());
    BenchSend(socket, makeLogin(QStringLiteral("bench-snap")).ToString());
    BenchReceive(socket);
    QTemporaryDir dir;
    const QString scrotFile = dir.path() + QStringLiteral("/scrot.png");
    qint64 ourBytes = 0;
    // One unmeasured round each warms caches and the X connection.
    CaptureOnce(socket, &ourBytes);
    ScrotOnce(display, scrotFile);
    std::vector<double> ours, peer;
    for (int i = 0; i < rounds; ++i) {
        ours.push_back(CaptureOnce(socket, &ourBytes));
        peer.push_back(ScrotOnce(display, scrotFile));
        if (ours.back() < 0 || peer.back() < 0) {
            std::fprintf(stderr, "snap bench: a capture failed in round %d\n", i);
            return 1;
        }
    }
    const double ourMedian = Median(ours), peerMedian = Median(peer);
    std::printf("full-screen capture, 1920x1080 photo-like, %d rounds (median, min)\n", rounds);
    std::printf("  service, request to answer: %8.1f ms  %8.1f ms  PNG %lld bytes\n", ourMedian,
                *std::min_element(ours.begin(), ours.end()), static_cast<long long>(ourBytes));
    std::printf("  scrot, writing a PNG:       %8.1f ms  %8.1f ms  PNG %lld bytes\n", peerMedian,
                *std::min_element(peer.begin(), peer.end()),
                static_cast<long long>(QFileInfo(scrotFile).size()));
    std::printf("  ratio service / scrot: %.2f (target: at most 1.00)\n", ourMedian / peerMedian);
    zmq_close(socket);
    zmq_ctx_term(context);
    pattern->kill();
    pattern->waitForFinished(5000);
    return 0;
}
