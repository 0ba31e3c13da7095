#include "tests/support/XvfbDisplay.h"

#include <QDeadlineTimer>
#include <QRect>
#include <QRegularExpression>
#include <QTest>

#include <xcb/xcb.h>

#include <cstdlib>

XvfbDisplay::~XvfbDisplay()
{
    if (m_pServer && m_pServer->state() != QProcess::NotRunning) {
        m_pServer->terminate();
        if (!m_pServer->waitForFinished(5000)) {
            m_pServer->kill();
            m_pServer->waitForFinished(5000);
        }
    }
}

bool XvfbDisplay::start(const QSize& _size, int _nTimeoutMs)
{
    m_pServer = std::make_unique<QProcess>();
    // -displayfd: the server picks a free display and writes its number to standard output.
    m_pServer->start(QStringLiteral("Xvfb"),
                     {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                      QStringLiteral("0"), QStringLiteral("%1x%2x24").arg(_size.width()).arg(_size.height()),
                      QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-noreset")});
    if (!m_pServer->waitForStarted(_nTimeoutMs)) {
        m_qstrError = QStringLiteral("Xvfb did not start: ") + m_pServer->errorString();
        return false;
    }
    QDeadlineTimer deadline(_nTimeoutMs);
    QByteArray out;
    while (!out.contains('\n') && !deadline.hasExpired() && m_pServer->state() == QProcess::Running) {
        m_pServer->waitForReadyRead(static_cast<int>(qMin<qint64>(deadline.remainingTime(), 500)));
        out += m_pServer->readAllStandardOutput();
    }
    bool ok = false;
    const int number = out.trimmed().toInt(&ok);
    if (!ok) {
        m_qstrError = QStringLiteral("Xvfb gave no display: ") +
                      QString::fromLocal8Bit(m_pServer->readAllStandardError());
        return false;
    }
    m_qstrDisplay = QStringLiteral(":%1").arg(number);
    return true;
}

QProcessEnvironment XvfbDisplay::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_qstrDisplay);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

QString XvfbDisplay::run(const QString& _qstrProgram, const QStringList& _listArgs, bool* _pOk,
                         int _nTimeoutMs) const
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(_qstrProgram, _listArgs);
    const bool finished = process.waitForStarted(_nTimeoutMs) && process.waitForFinished(_nTimeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished(2000);
    }
    if (_pOk)
        *_pOk = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

std::unique_ptr<QProcess> XvfbDisplay::launch(const QString& _qstrProgram, const QStringList& _listArgs,
                                              const QString& _qstrReady, int _nTimeoutMs) const
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment());
    process->start(_qstrProgram, _listArgs);
    QDeadlineTimer deadline(_nTimeoutMs);
    QByteArray out;
    while (!out.contains(_qstrReady.toUtf8()) && !deadline.hasExpired() &&
           process->state() != QProcess::NotRunning) {
        process->waitForReadyRead(static_cast<int>(qMin<qint64>(deadline.remainingTime(), 500)));
        out += process->readAllStandardOutput();
    }
    if (!out.contains(_qstrReady.toUtf8())) {
        process->kill();
        process->waitForFinished(2000);
        return nullptr;
    }
    return process;
}

qulonglong XvfbDisplay::waitForWindow(const QString& _qstrName, int _nTimeoutMs) const
{
    QDeadlineTimer deadline(_nTimeoutMs);
    do {
        const QString found =
            run(QStringLiteral("xdotool"),
                {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                 QLatin1Char('^') + _qstrName + QLatin1Char('$')});
        if (!found.isEmpty())
            return found.split(QLatin1Char('\n')).first().toULongLong();
        QTest::qWait(50); // lets the caller's sockets work meanwhile
    } while (!deadline.hasExpired());
    return 0;
}

bool XvfbDisplay::waitForNoWindow(const QString& _qstrName, int _nTimeoutMs) const
{
    QDeadlineTimer deadline(_nTimeoutMs);
    do {
        if (run(QStringLiteral("xdotool"),
                {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                 QLatin1Char('^') + _qstrName + QLatin1Char('$')})
                .isEmpty())
            return true;
        QTest::qWait(50); // lets the caller's sockets work meanwhile
    } while (!deadline.hasExpired());
    return false;
}

QRect XvfbDisplay::windowGeometry(qulonglong _nWindow) const
{
    // --shell prints WINDOW=, X=, Y=, WIDTH=, HEIGHT= lines.
    const QString out =
        run(QStringLiteral("xdotool"),
            {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), QString::number(_nWindow)});
    QRect rect;
    for (const QString& line : out.split(QLatin1Char('\n'))) {
        const int value = line.section(QLatin1Char('='), 1).toInt();
        if (line.startsWith(QLatin1String("X=")))
            rect.moveLeft(value);
        else if (line.startsWith(QLatin1String("Y=")))
            rect.moveTop(value);
        else if (line.startsWith(QLatin1String("WIDTH=")))
            rect.setWidth(value);
        else if (line.startsWith(QLatin1String("HEIGHT=")))
            rect.setHeight(value);
    }
    return rect;
}

QList<QRect> XvfbDisplay::visibleWindows(const QString& _qstrTitle) const
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

bool XvfbDisplay::click(int _nX, int _nY) const
{
    bool ok = false;
    run(QStringLiteral("xdotool"),
        {QStringLiteral("mousemove"), QString::number(_nX), QString::number(_nY), QStringLiteral("click"),
         QStringLiteral("1")},
        &ok);
    return ok;
}

std::optional<quint32> XvfbDisplay::pixel(int _nX, int _nY) const
{
    const QImage image = grab(QRect(_nX, _nY, 1, 1));
    if (image.isNull())
        return std::nullopt;
    return image.pixel(0, 0) & 0xffffffu;
}

QImage XvfbDisplay::grab(const QRect& _rect) const
{
    xcb_connection_t* conn = xcb_connect(m_qstrDisplay.toLatin1().constData(), nullptr);
    QImage image;
    if (!xcb_connection_has_error(conn)) {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
        xcb_get_image_reply_t* reply = xcb_get_image_reply(
            conn,
            xcb_get_image(conn, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, static_cast<int16_t>(_rect.x()),
                          static_cast<int16_t>(_rect.y()), static_cast<uint16_t>(_rect.width()),
                          static_cast<uint16_t>(_rect.height()), ~0u),
            nullptr);
        // A 24-bit screen keeps each pixel as 32 bits, blue first: Qt's RGB32 on this machine.
        const int bytes = _rect.width() * _rect.height() * 4;
        if (reply && xcb_get_image_data_length(reply) >= bytes)
            image = QImage(xcb_get_image_data(reply), _rect.width(), _rect.height(), _rect.width() * 4,
                           QImage::Format_RGB32)
                        .copy();
        free(reply);
    }
    xcb_disconnect(conn);
    return image;
}
