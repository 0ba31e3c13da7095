#include "tests/snap/PrivateSessionBus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QFile>
#include <QTest>

namespace {

void Stop(QProcess& _process)
{
    if (_process.state() == QProcess::NotRunning)
        return;
    _process.terminate();
    if (!_process.waitForFinished(3000)) {
        _process.kill();
        _process.waitForFinished(3000);
    }
}

} // namespace

PrivateSessionBus::~PrivateSessionBus()
{
    for (auto it = m_vecPrograms.rbegin(); it != m_vecPrograms.rend(); ++it)
        Stop(**it);
    if (m_pDaemon)
        Stop(*m_pDaemon);
}

bool PrivateSessionBus::start(bool _blMachineServices, int _nTimeoutMs)
{
    const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) {
        m_qstrError = QStringLiteral("cannot write ") + config;
        return false;
    }
    file.write(
        QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                       " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                       "<busconfig><type>session</type><listen>unix:dir=%1</listen>%2"
                       "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                       "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")
            .arg(m_dir.path(),
                 _blMachineServices ? QStringLiteral("<standard_session_servicedirs/>") : QString())
            .toUtf8());
    file.close();
    m_pDaemon = std::make_unique<QProcess>();
    m_pDaemon->start(QStringLiteral("dbus-daemon"),
                     {QStringLiteral("--nofork"), QStringLiteral("--print-address=1"),
                      QStringLiteral("--config-file=") + config});
    QDeadlineTimer deadline(_nTimeoutMs);
    QByteArray out;
    while (!out.contains('\n') && !deadline.hasExpired() && m_pDaemon->state() != QProcess::NotRunning) {
        m_pDaemon->waitForReadyRead(static_cast<int>(qMin<qint64>(deadline.remainingTime(), 500)));
        out += m_pDaemon->readAllStandardOutput();
    }
    m_qstrAddress = QString::fromUtf8(out).trimmed();
    if (m_qstrAddress.isEmpty())
        m_qstrError = QStringLiteral("dbus-daemon gave no address: ") +
                      QString::fromLocal8Bit(m_pDaemon->readAllStandardError());
    return !m_qstrAddress.isEmpty();
}

QProcessEnvironment PrivateSessionBus::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_qstrAddress);
    return env;
}

bool PrivateSessionBus::hasName(const QString& _qstrName) const
{
    QDBusConnection bus =
        QDBusConnection::connectToBus(m_qstrAddress, QStringLiteral("qorv-test-") + m_dir.path());
    return bus.isConnected() && bus.interface()->isServiceRegistered(_qstrName).value();
}

QProcess* PrivateSessionBus::launch(const QString& _qstrProgram, const QStringList& _listArgs,
                                    const QProcessEnvironment& _env, const QString& _qstrReady,
                                    const QString& _qstrOwnedName, int _nTimeoutMs)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = environment();
    for (const QString& key : _env.keys())
        env.insert(key, _env.value(key));
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(_qstrReady.isEmpty() ? QProcess::ForwardedChannels
                                                        : QProcess::ForwardedErrorChannel);
    process->start(_qstrProgram, _listArgs);
    QDeadlineTimer deadline(_nTimeoutMs);
    QByteArray out;
    auto ready = [&] {
        if (!_qstrReady.isEmpty()) {
            out += process->readAllStandardOutput();
            return out.contains(_qstrReady.toUtf8());
        }
        if (!_qstrOwnedName.isEmpty())
            return hasName(_qstrOwnedName);
        return process->state() == QProcess::Running;
    };
    while (!ready() && !deadline.hasExpired() && process->state() != QProcess::NotRunning) {
        if (_qstrReady.isEmpty())
            QTest::qWait(50);
        else
            process->waitForReadyRead(100);
    }
    if (!ready()) {
        m_qstrError = QStringLiteral("%1 did not become ready").arg(_qstrProgram);
        Stop(*process);
        return nullptr;
    }
    m_vecPrograms.push_back(std::move(process));
    return m_vecPrograms.back().get();
}

bool PrivateSessionBus::end(QProcess* _pProgram, const QString& _qstrOwnedName)
{
    Stop(*_pProgram);
    return _qstrOwnedName.isEmpty() || QTest::qWaitFor([&] { return !hasName(_qstrOwnedName); }, 10000);
}

QString PrivateSessionBus::standInPortal()
{
    return QStringLiteral(QORV_STAND_IN_PORTAL);
}
