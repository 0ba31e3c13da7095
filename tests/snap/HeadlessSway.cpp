#include "tests/snap/HeadlessSway.h"

#include "tests/snap/PrivateSessionBus.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const uid_t kNobody = 65534;

} // namespace

HeadlessSway::~HeadlessSway()
{
    if (m_pPointer) {
        m_pPointer->closeWriteChannel();
        if (!m_pPointer->waitForFinished(5000))
            m_pPointer->kill();
    }
    if (m_pSway && m_pSway->state() != QProcess::NotRunning) {
        m_pSway->terminate();
        if (!m_pSway->waitForFinished(5000)) {
            m_pSway->kill();
            m_pSway->waitForFinished(5000);
        }
    }
}

QStringList HeadlessSway::missingPrograms()
{
    QStringList missing;
    for (const QString& program :
         {QStringLiteral("sway"), QStringLiteral("Xwayland"), QStringLiteral("swaybg"),
          QStringLiteral("grim"), QStringLiteral("xhost"), QStringLiteral("pipewire")})
        if (QStandardPaths::findExecutable(program).isEmpty())
            missing << program;
    return missing;
}

QString HeadlessSway::RunAsNobody(const QStringList& _listCommand, bool* _pOk) const
{
    QProcess process;
    QStringList args{QStringLiteral("--reuid=65534"),
                     QStringLiteral("--regid=65534"),
                     QStringLiteral("--clear-groups"),
                     QStringLiteral("env"),
                     QStringLiteral("XDG_RUNTIME_DIR=") + m_qstrRuntime,
                     QStringLiteral("DISPLAY=") + m_qstrX11Display};
    process.start(QStringLiteral("setpriv"), args + _listCommand);
    *_pOk = process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
            process.exitCode() == 0;
    return QString::fromLocal8Bit(process.readAllStandardOutput() + process.readAllStandardError());
}

bool HeadlessSway::start(const QSize& _size, const QString& _qstrBackground, int _nTimeoutMs)
{
    // nobody must reach its runtime folder and the configuration below the test's folder.
    m_qstrRuntime = m_dir.filePath(QStringLiteral("runtime"));
    QDir().mkpath(m_qstrRuntime);
    ::chmod(QFile::encodeName(m_dir.path()).constData(), 0711);
    if (::chown(QFile::encodeName(m_qstrRuntime).constData(), kNobody, kNobody) != 0 ||
        ::chmod(QFile::encodeName(m_qstrRuntime).constData(), 0700) != 0) {
        m_qstrError = QStringLiteral("cannot give the runtime folder to nobody");
        return false;
    }
    const QString config = m_dir.filePath(QStringLiteral("sway.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) {
        m_qstrError = QStringLiteral("cannot write ") + config;
        return false;
    }
    file.write(
        QStringLiteral(
            "output HEADLESS-1 resolution %1x%2 bg %3 solid_color\nxwayland enable\ndefault_border none\n"
            "exec printenv DISPLAY > %4/x11-display.part && mv %4/x11-display.part %4/x11-display\n")
            .arg(_size.width())
            .arg(_size.height())
            .arg(_qstrBackground, m_qstrRuntime)
            .toUtf8());
    file.close();
    ::chmod(QFile::encodeName(config).constData(), 0644);

    m_pSway = std::make_unique<QProcess>();
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/local/bin:/usr/bin:/bin"));
    env.insert(QStringLiteral("HOME"), m_qstrRuntime);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_qstrRuntime);
    env.insert(QStringLiteral("WLR_BACKENDS"), QStringLiteral("headless"));
    env.insert(QStringLiteral("WLR_RENDERER"), QStringLiteral("pixman"));
    env.insert(QStringLiteral("WLR_LIBINPUT_NO_DEVICES"), QStringLiteral("1"));
    m_pSway->setProcessEnvironment(env);
    m_pSway->setProcessChannelMode(QProcess::MergedChannels);
    m_pSway->start(QStringLiteral("setpriv"),
                   {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                    QStringLiteral("--clear-groups"), QStringLiteral("sway"), QStringLiteral("-c"), config});
    // sway names the X display it set up in its log; the background is painted once grim sees it.
    QDeadlineTimer deadline(_nTimeoutMs);
    QByteArray log;
    const QRgb background = QColor(_qstrBackground).rgb();
    bool painted = false;
    while (!deadline.hasExpired() && m_pSway->state() != QProcess::NotRunning) {
        m_pSway->waitForReadyRead(100);
        log += m_pSway->readAll();
        if (!QFile::exists(waylandDisplay()))
            continue;
        const QImage image = grim();
        if (!image.isNull() && image.pixel(_size.width() / 2, _size.height() / 2) == background) {
            painted = true;
            break;
        }
    }
    // sway hands its X display to the programs it starts; XWayland itself starts on the first client.
    QFile display(m_qstrRuntime + QStringLiteral("/x11-display"));
    while (painted && m_qstrX11Display.isEmpty() && !deadline.hasExpired()) {
        if (display.open(QIODevice::ReadOnly)) {
            m_qstrX11Display = QString::fromLocal8Bit(display.readAll()).trimmed();
            display.close();
        }
        if (m_qstrX11Display.isEmpty())
            QTest::qWait(50);
    }
    if (!painted || m_qstrX11Display.isEmpty()) {
        m_qstrError = QStringLiteral("sway did not come up: ") + QString::fromLocal8Bit(log.right(2000));
        return false;
    }
    // XWayland admits its own user only; the service and the X tools run as root.
    bool ok = false;
    const QString out = RunAsNobody({QStringLiteral("xhost"), QStringLiteral("+si:localuser:root")}, &ok);
    if (!ok)
        m_qstrError = QStringLiteral("xhost on XWayland failed: ") + out;
    return ok;
}

QString HeadlessSway::waylandDisplay() const
{
    return m_qstrRuntime + QStringLiteral("/wayland-1");
}

QProcessEnvironment HeadlessSway::sessionEnvironment() const
{
    QProcessEnvironment env;
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), waylandDisplay());
    env.insert(QStringLiteral("DISPLAY"), m_qstrX11Display);
    env.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    return env;
}

QImage HeadlessSway::grim() const
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), waylandDisplay());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.path());
    process.setProcessEnvironment(env);
    process.start(QStringLiteral("grim"), {QStringLiteral("-")});
    if (!process.waitForFinished(10000) || process.exitCode() != 0)
        return QImage();
    return QImage::fromData(process.readAllStandardOutput(), "PNG");
}

bool HeadlessSway::startPortal(PrivateSessionBus& _bus, const QString& _qstrRuntime, QString* _pError) const
{
    QProcessEnvironment env = sessionEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), _qstrRuntime);
    env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("sway"));
    // The portal offers screenshots only beside an Access implementation, which no desktop
    // provides headless: the stand-in grants every request.
    const QString portals = _qstrRuntime + QStringLiteral("/portals");
    QDir().mkpath(portals);
    QFile::copy(QStringLiteral("/usr/share/xdg-desktop-portal/portals/wlr.portal"), portals + "/wlr.portal");
    QFile access(portals + QStringLiteral("/qorvtest.portal"));
    if (!access.open(QIODevice::WriteOnly)) {
        *_pError = QStringLiteral("cannot write ") + access.fileName();
        return false;
    }
    access.write("[portal]\nDBusName=org.freedesktop.impl.portal.desktop.qorvtest\n"
                 "Interfaces=org.freedesktop.impl.portal.Access;\nUseIn=sway;\n");
    access.close();
    env.insert(QStringLiteral("XDG_DESKTOP_PORTAL_DIR"), portals);
    // The wlroots backend exits at start without a pipewire daemon.
    const bool ok =
        _bus.launch(QStringLiteral("pipewire"), {}, env, QString()) &&
        QTest::qWaitFor([&] { return QFileInfo::exists(_qstrRuntime + QStringLiteral("/pipewire-0")); },
                        20000) &&
        _bus.launch(QStringLiteral("/usr/bin/python3"),
                    {PrivateSessionBus::standInPortal(), QStringLiteral("access")}, env,
                    QStringLiteral("ready")) &&
        _bus.launch(QStringLiteral("/usr/libexec/xdg-desktop-portal-wlr"), {}, env, QString(),
                    QStringLiteral("org.freedesktop.impl.portal.desktop.wlr")) &&
        _bus.launch(QStringLiteral("/usr/libexec/xdg-desktop-portal"), {}, env, QString(),
                    QStringLiteral("org.freedesktop.portal.Desktop"));
    if (!ok)
        *_pError = QStringLiteral("the portal did not start: ") + _bus.errorString();
    return ok;
}

bool HeadlessSway::startPointer(const QString& _qstrProgram)
{
    m_pPointer = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), waylandDisplay());
    m_pPointer->setProcessEnvironment(env);
    m_pPointer->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QImage screen = grim();
    m_pPointer->start(_qstrProgram, {QString::number(screen.width()), QString::number(screen.height())});
    QDeadlineTimer deadline(10000);
    QByteArray out;
    while (!out.contains("ready\n") && !deadline.hasExpired() &&
           m_pPointer->state() != QProcess::NotRunning) {
        m_pPointer->waitForReadyRead(100);
        out += m_pPointer->readAllStandardOutput();
    }
    if (!out.contains("ready\n"))
        m_qstrError = QStringLiteral("the virtual pointer did not start");
    return out.contains("ready\n");
}

bool HeadlessSway::pointer(const QString& _qstrCommand)
{
    if (!m_pPointer)
        return false;
    m_pPointer->write(_qstrCommand.toUtf8() + '\n');
    QDeadlineTimer deadline(10000);
    QByteArray out;
    while (!out.contains("ok\n") && !deadline.hasExpired() && m_pPointer->state() != QProcess::NotRunning) {
        m_pPointer->waitForReadyRead(100);
        out += m_pPointer->readAllStandardOutput();
    }
    return out.contains("ok\n");
}
