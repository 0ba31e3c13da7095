#include "tests/e2e/XvfbDisplay.h"

#include <QDeadlineTimer>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include <xcb/xcb.h>

#include <cstdlib>

XvfbDisplay::~XvfbDisplay()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(2000);
    }
}

bool XvfbDisplay::start(int _nWidth, int _nHeight, int _nTimeoutMs)
{
    // -displayfd lets the server pick a free number itself and write it to our pipe.
    m_process.start(QStringLiteral("Xvfb"),
                    {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                     QStringLiteral("0"), QStringLiteral("%1x%2x24").arg(_nWidth).arg(_nHeight),
                     QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    if (!m_process.waitForStarted(_nTimeoutMs)) {
        m_qstrError = QStringLiteral("Xvfb did not start: ") + m_process.errorString();
        return false;
    }
    QByteArray out;
    QDeadlineTimer deadline(_nTimeoutMs);
    while (!out.contains('\n') && !deadline.hasExpired() && m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
        out += m_process.readAllStandardOutput();
    }
    bool ok = false;
    const int number = out.trimmed().toInt(&ok);
    if (!ok) {
        m_qstrError = QStringLiteral("Xvfb gave no display number: ") +
                      QString::fromLocal8Bit(m_process.readAllStandardError());
        return false;
    }
    m_qstrDisplay = QStringLiteral(":%1").arg(number);
    return true;
}

QString XvfbDisplay::run(const QString& _qstrProgram, const QStringList& _listArgs, int* _pExitCode)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_qstrDisplay);
    process.setProcessEnvironment(env);
    process.start(_qstrProgram, _listArgs);
    const bool finished = process.waitForStarted(10000) && process.waitForFinished(20000);
    if (_pExitCode)
        *_pExitCode = finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return finished ? QString::fromLocal8Bit(process.readAllStandardOutput()) : QString();
}

QList<QRect> XvfbDisplay::visibleWindows(const QString& _qstrTitle)
{
    QList<QRect> windows;
    const QString ids =
        run(QStringLiteral("xdotool"),
            {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
             QLatin1Char('^') + QRegularExpression::escape(_qstrTitle) + QLatin1Char('$')});
    static const QRegularExpression field(
        QStringLiteral("Absolute upper-left X:\\s*(-?\\d+).*Absolute upper-left Y:\\s*(-?\\d+).*"
                       "Width:\\s*(\\d+).*Height:\\s*(\\d+)"),
        QRegularExpression::DotMatchesEverythingOption);
    for (const QString& id : ids.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const auto match = field.match(run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), id}));
        if (match.hasMatch())
            windows.append(QRect(match.captured(1).toInt(), match.captured(2).toInt(),
                                 match.captured(3).toInt(), match.captured(4).toInt()));
    }
    return windows;
}

bool XvfbDisplay::click(int _nX, int _nY)
{
    int code = -1;
    run(QStringLiteral("xdotool"),
        {QStringLiteral("mousemove"), QString::number(_nX), QString::number(_nY), QStringLiteral("click"),
         QStringLiteral("1")},
        &code);
    return code == 0;
}

std::optional<quint32> XvfbDisplay::pixel(int _nX, int _nY)
{
    xcb_connection_t* conn = xcb_connect(m_qstrDisplay.toLatin1().constData(), nullptr);
    std::optional<quint32> colour;
    if (!xcb_connection_has_error(conn)) {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
        xcb_get_image_reply_t* reply = xcb_get_image_reply(
            conn,
            xcb_get_image(conn, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, static_cast<int16_t>(_nX),
                          static_cast<int16_t>(_nY), 1, 1, ~0u),
            nullptr);
        // A 24-bit screen keeps each pixel as 32 bits, blue first.
        if (reply && xcb_get_image_data_length(reply) >= 4) {
            const uint8_t* bgr = xcb_get_image_data(reply);
            colour = (quint32(bgr[2]) << 16) | (quint32(bgr[1]) << 8) | bgr[0];
        }
        free(reply);
    }
    xcb_disconnect(conn);
    return colour;
}
