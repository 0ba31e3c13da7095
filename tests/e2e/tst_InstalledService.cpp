// The service as a user gets it from `cmake --install`: installed into a temporary prefix,
// configured from $XDG_CONFIG_HOME, started the way its systemd user unit starts it (with a
// notification socket), and driven with the installed qorvctl.
#include "tests/e2e/ServiceHarness.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The service manager's end of the notification protocol: a datagram socket whose path goes
// into NOTIFY_SOCKET.
class NotifySocket
{
public:
    explicit NotifySocket(const QString& _qstrPath) : m_qstrPath(_qstrPath)
    {
        m_nFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(_qstrPath);
        qstrncpy(address.sun_path, path.constData(), sizeof(address.sun_path));
        if (::bind(m_nFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            ::close(m_nFd);
            m_nFd = -1;
        }
    }
    ~NotifySocket()
    {
        if (m_nFd >= 0)
            ::close(m_nFd);
    }
    bool IsValid() const { return m_nFd >= 0; }
    QString Path() const { return m_qstrPath; }

    // Every message received so far, appended to Received().
    void Drain()
    {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(m_nFd, buffer, sizeof(buffer), 0)) > 0)
            m_listReceived.append(QString::fromUtf8(buffer, static_cast<int>(n)));
    }
    // The first message holding _qstrNeedle, waiting up to _nTimeoutMs.
    QString WaitFor(const QString& _qstrNeedle, int _nTimeoutMs)
    {
        QString found;
        (void)QTest::qWaitFor(
            [&]() {
                Drain();
                for (const QString& message : m_listReceived)
                    if (message.contains(_qstrNeedle))
                        found = message;
                return !found.isEmpty();
            },
            _nTimeoutMs);
        return found;
    }
    QStringList Received() const { return m_listReceived; }

private:
    QString m_qstrPath;
    int m_nFd = -1;
    QStringList m_listReceived;
};

bool PortAccepts(quint16 _nPort)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, _nPort);
    return socket.waitForConnected(2000);
}

QString ReadAll(const QString& _qstrPath)
{
    QFile file(_qstrPath);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

class tst_InstalledService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sessionFilesAreValid_data();
    void sessionFilesAreValid();
    void userConfigPortsAndInstalledData();
    void readinessWaitsForBothTransports();

private:
    QProcessEnvironment UserEnvironment(const QString& _qstrNotifySocket) const;
    void WriteUserConfig(quint16 _nZmqPort, quint16 _nWsPort);
    QString Bin(const QString& _qstrName) const
    {
        return m_prefix.path() + QStringLiteral("/bin/") + _qstrName;
    }
    QString LogText() const;

    QTemporaryDir m_prefix{QDir::tempPath() + QStringLiteral("/qorv-prefix-XXXXXX")};
    QTemporaryDir m_home{QDir::tempPath() + QStringLiteral("/qorv-home-XXXXXX")};
};

void tst_InstalledService::initTestCase()
{
    QVERIFY(m_prefix.isValid() && m_home.isValid());
    const QString buildDir = qEnvironmentVariable("QORV_BUILD_DIR");
    QVERIFY2(QFileInfo(buildDir).isDir(), "QORV_BUILD_DIR names no folder");
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral("cmake"),
                  {QStringLiteral("--install"), buildDir, QStringLiteral("--prefix"), m_prefix.path()});
    QVERIFY(install.waitForFinished(120000));
    QVERIFY2(install.exitCode() == 0, install.readAll().constData());
    for (const char* sub : {"run", ".config/qorv-utility-service", "tmp"})
        QVERIFY(QDir(m_home.path()).mkpath(QLatin1String(sub)));
    QFile::setPermissions(m_home.path() + QStringLiteral("/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void tst_InstalledService::sessionFilesAreValid_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    // verify also checks that ExecStart names an executable that exists.
    QTest::newRow("systemd unit")
        << QStringLiteral("systemd-analyze")
        << QStringList{QStringLiteral("--user"), QStringLiteral("verify"),
                       m_prefix.path() + QStringLiteral("/share/systemd/user/qorv-utility-service.service")};
    QTest::newRow("autostart entry")
        << QStringLiteral("desktop-file-validate")
        << QStringList{m_prefix.path() + QStringLiteral("/etc/xdg/autostart/qorv-utility-service.desktop")};
}

void tst_InstalledService::sessionFilesAreValid()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QVERIFY(QFileInfo::exists(arguments.last()));
    QVERIFY2(arguments.last().contains(QLatin1String("autostart")) ||
                 ReadAll(arguments.last())
                     .contains(QStringLiteral("ExecStart=") + Bin(QStringLiteral("qorv-utility-service"))),
             "ExecStart does not name the installed executable");
    QProcess check;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path() + QStringLiteral("/run"));
    check.setProcessEnvironment(env);
    check.start(program, arguments);
    QVERIFY2(check.waitForFinished(60000), qPrintable(program));
    const QByteArray output = check.readAllStandardOutput() + check.readAllStandardError();
    QVERIFY2(check.exitCode() == 0 && output.trimmed().isEmpty(), output.constData());
}

QProcessEnvironment tst_InstalledService::UserEnvironment(const QString& _qstrNotifySocket) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path() + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path() + QStringLiteral("/run"));
    env.insert(QStringLiteral("TMPDIR"), m_home.path() + QStringLiteral("/tmp"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("DISPLAY"));
    if (!_qstrNotifySocket.isEmpty())
        env.insert(QStringLiteral("NOTIFY_SOCKET"), _qstrNotifySocket);
    return env;
}

void tst_InstalledService::WriteUserConfig(quint16 _nZmqPort, quint16 _nWsPort)
{
    QFile file(m_home.path() + QStringLiteral("/.config/qorv-utility-service/config.ini"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QStringLiteral("[name]\nfolder=from-user-config\n[message_service]\nport=%1\nwsport=%2\n")
                   .arg(_nZmqPort)
                   .arg(_nWsPort)
                   .toUtf8());
}

QString tst_InstalledService::LogText() const
{
    QDir folder(m_home.path() + QStringLiteral("/Documents/from-user-config/log"));
    QString text;
    for (const QString& name : folder.entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Name))
        text += ReadAll(folder.filePath(name));
    return text;
}

void tst_InstalledService::userConfigPortsAndInstalledData()
{
    const quint16 zmqPort = pickFreePort();
    quint16 wsPort = pickFreePort();
    while (wsPort == zmqPort)
        wsPort = pickFreePort();
    WriteUserConfig(zmqPort, wsPort);
    NotifySocket notify(m_home.path() + QStringLiteral("/run/notify"));
    QVERIFY(notify.IsValid());

    QProcess service;
    service.setProcessEnvironment(UserEnvironment(notify.Path()));
    service.setWorkingDirectory(m_home.path());
    service.setProcessChannelMode(QProcess::MergedChannels);
    service.start(Bin(QStringLiteral("qorv-utility-service")), QStringList());
    QVERIFY(service.waitForStarted(10000));
    const QString ready = notify.WaitFor(QStringLiteral("READY=1"), 60000);
    QVERIFY2(!ready.isEmpty(), service.readAll().constData());
    QVERIFY(PortAccepts(zmqPort) && PortAccepts(wsPort));

    const QString log = LogText();
    QVERIFY2(log.contains(QStringLiteral("config ") + m_home.path() +
                          QStringLiteral("/.config/qorv-utility-service/config.ini")),
             qPrintable(log));
    const QString qss =
        QFileInfo(m_prefix.path() + QStringLiteral("/share/qorv-utility-service/qss")).canonicalFilePath();
    QVERIFY2(log.contains(QStringLiteral("style sheets and images from ") + qss), qPrintable(log));

    // qorvctl finds the moved ports in the same file, over both transports.
    for (const QStringList& args : {QStringList{QStringLiteral("abilities")},
                                    QStringList{QStringLiteral("--zmq"), QStringLiteral("abilities")}}) {
        QProcess ctl;
        ctl.setProcessEnvironment(UserEnvironment(QString()));
        ctl.start(Bin(QStringLiteral("qorvctl")), args);
        QVERIFY(ctl.waitForFinished(60000));
        const QByteArray out = ctl.readAllStandardOutput();
        QVERIFY2(ctl.exitCode() == 0 && out.contains("download"),
                 (out + ctl.readAllStandardError()).constData());
    }

    // A second start, as a unit started beside a running service: ready, then exit 0.
    QProcess second;
    second.setProcessEnvironment(UserEnvironment(notify.Path()));
    second.start(Bin(QStringLiteral("qorv-utility-service")), QStringList());
    QVERIFY(second.waitForFinished(30000));
    QCOMPARE(second.exitCode(), 0);
    QVERIFY(!notify.WaitFor(QStringLiteral("another instance is already running"), 10000).isEmpty());

    // The unit stops the service with SIGTERM: a clean exit, not a failure to restart from.
    service.terminate();
    QVERIFY(service.waitForFinished(30000));
    QCOMPARE(service.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.exitCode(), 0);
}

void tst_InstalledService::readinessWaitsForBothTransports()
{
    // Another program holds the WebSocket port: the service runs on, but never reports ready.
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
    const quint16 zmqPort = pickFreePort();
    WriteUserConfig(zmqPort, squatter.serverPort());
    NotifySocket notify(m_home.path() + QStringLiteral("/run/notify-clash"));
    QVERIFY(notify.IsValid());

    QProcess service;
    service.setProcessEnvironment(UserEnvironment(notify.Path()));
    service.start(Bin(QStringLiteral("qorv-utility-service")), QStringList());
    QVERIFY(service.waitForStarted(10000));
    const QString status = notify.WaitFor(QStringLiteral("STATUS="), 60000);
    QVERIFY2(status.contains(QLatin1String("FAILED")), qPrintable(status));
    QVERIFY2(!status.contains(QLatin1String("READY=1")), qPrintable(status));
    QVERIFY(service.state() == QProcess::Running);
    service.terminate();
    QVERIFY(service.waitForFinished(30000));
    QVERIFY(!notify.Received().join(QLatin1Char('\n')).contains(QLatin1String("READY=1")));
}

QTEST_MAIN(tst_InstalledService)
#include "tst_InstalledService.moc"
