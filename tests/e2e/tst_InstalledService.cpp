// The service as a user gets it from `cmake --install`: installed into a temporary prefix,
// configured from $XDG_CONFIG_HOME, started the way its systemd user unit starts it (with a
// notification socket), and driven with the installed qorvctl.
#include "tests/support/ServiceHarness.h"

#include <QTcpServer>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The service manager's end of the notification protocol: a datagram socket named by
// NOTIFY_SOCKET. Received() holds every message so far.
class NotifySocket
{
public:
    explicit NotifySocket(const QString& _qstrPath) : m_qstrPath(_qstrPath)
    {
        m_nFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(_qstrPath).constData(), sizeof(address.sun_path));
        ::bind(m_nFd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
    ~NotifySocket() { ::close(m_nFd); }
    QString Path() const { return m_qstrPath; }
    QString Received()
    {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(m_nFd, buffer, sizeof(buffer), 0)) > 0)
            m_qstrReceived += QString::fromUtf8(buffer, static_cast<int>(n)) + QLatin1Char('\n');
        return m_qstrReceived;
    }
    bool WaitFor(const QString& _qstrNeedle, int _nTimeoutMs = 60000)
    {
        return QTest::qWaitFor([&]() { return Received().contains(_qstrNeedle); }, _nTimeoutMs);
    }

private:
    QString m_qstrPath;
    int m_nFd = -1;
    QString m_qstrReceived;
};

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
    void documentationInstalled_data();
    void documentationInstalled();
    void userConfigPortsAndInstalledData();
    void readinessWaitsForBothTransports();

private:
    // Writes the user's config.ini and starts the installed service on it.
    void Start(QProcess& _process, quint16 _nZmqPort, quint16 _nWsPort, const QString& _qstrNotify);
    QProcessEnvironment Environment(const QString& _qstrNotify) const;
    QString Installed(const QString& _qstrPath) const
    {
        return m_prefix.path() + QLatin1Char('/') + _qstrPath;
    }
    QString UserConfig() const
    {
        return m_home.path() + QStringLiteral("/.config/qorv-utility-service/config.ini");
    }

    QTemporaryDir m_prefix{QDir::tempPath() + QStringLiteral("/qorv prefix-XXXXXX")};
    QTemporaryDir m_home{QDir::tempPath() + QStringLiteral("/qorv-home-XXXXXX")};
};

void tst_InstalledService::initTestCase()
{
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral("cmake"),
                  {QStringLiteral("--install"), qEnvironmentVariable("QORV_BUILD_DIR"),
                   QStringLiteral("--prefix"), m_prefix.path()});
    QVERIFY(install.waitForFinished(120000));
    QVERIFY2(install.exitCode() == 0, install.readAll().constData());
    QVERIFY(QDir().mkpath(QFileInfo(UserConfig()).path()) &&
            QDir(m_home.path()).mkpath(QStringLiteral("run")));
    QFile::setPermissions(m_home.path() + QStringLiteral("/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void tst_InstalledService::sessionFilesAreValid_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("file");
    // verify also checks that ExecStart names an executable that exists and that man finds the
    // pages Documentation= names (the installed ones, through MANPATH).
    QTest::newRow("systemd unit") << QStringLiteral("systemd-analyze --user verify")
                                  << Installed(
                                         QStringLiteral("share/systemd/user/qorv-utility-service.service"));
    QTest::newRow("autostart entry") << QStringLiteral("desktop-file-validate")
                                     << Installed(
                                            QStringLiteral("etc/xdg/autostart/qorv-utility-service.desktop"));
}

void tst_InstalledService::sessionFilesAreValid()
{
    QFETCH(QString, program);
    QFETCH(QString, file);
    QVERIFY(ReadAll(file).contains(Installed(QStringLiteral("bin/qorv-utility-service"))));
    QProcess check;
    QProcessEnvironment env = Environment(QString());
    env.insert(QStringLiteral("MANPATH"), Installed(QStringLiteral("share/man:")));
    check.setProcessEnvironment(env);
    check.setProcessChannelMode(QProcess::MergedChannels);
    const QStringList words = program.split(QLatin1Char(' '));
    check.start(words.first(), words.mid(1) << file);
    QVERIFY2(check.waitForFinished(60000), qPrintable(program));
    const QByteArray output = check.readAll();
    QVERIFY2(check.exitCode() == 0 && output.trimmed().isEmpty(), output.constData());
}

void tst_InstalledService::documentationInstalled_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("check"); // a shell line on "$1"; it must print nothing and end with 0
    // groff's warnings (-ww) come out on standard error; lexgrog finds the NAME line whatis reads.
    const QString manual =
        QStringLiteral("MANWIDTH=80 man --warnings=w -l \"$1\" >/dev/null && lexgrog \"$1\" >/dev/null");
    QTest::newRow("qorvctl(1)") << "share/man/man1/qorvctl.1.gz" << manual;
    QTest::newRow("qorv-utility-service(1)") << "share/man/man1/qorv-utility-service.1.gz" << manual;
    QTest::newRow("bash completion") << "share/bash-completion/completions/qorvctl"
                                     << "bash -n \"$1\" && . \"$1\" && complete -p qorvctl >/dev/null";
    // Where the service looks after the user's own folder.
    QTest::newRow("config.ini template") << "etc/xdg/qorv-utility-service/config.ini"
                                         << "grep -q '^\\[message_service\\]' \"$1\"";
    QTest::newRow("copyright") << "share/doc/qorv-utility-service/copyright"
                               << "grep -q '^License: Expat' \"$1\"";
    QTest::newRow("changelog") << "share/doc/qorv-utility-service/changelog.gz"
                               << "zcat \"$1\" | head -1 | grep -q '^qorv-utility-service ([0-9.]*) '";
    QTest::newRow("README") << "share/doc/qorv-utility-service/README.md.gz"
                            << "zcat \"$1\" | head -1 | grep -qx '# qorv-utility-service'";
}

void tst_InstalledService::documentationInstalled()
{
    QFETCH(QString, file);
    QFETCH(QString, check);
    QProcess shell;
    shell.setProcessChannelMode(QProcess::MergedChannels);
    shell.start(QStringLiteral("bash"),
                {QStringLiteral("-c"), check, QStringLiteral("check"), Installed(file)});
    QVERIFY(shell.waitForFinished(60000));
    const QByteArray output = shell.readAll();
    QVERIFY2(shell.exitCode() == 0 && output.isEmpty(), qPrintable(file + QLatin1Char('\n') + output));
}

QProcessEnvironment tst_InstalledService::Environment(const QString& _qstrNotify) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path() + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path() + QStringLiteral("/run"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("NOTIFY_SOCKET"));
    if (!_qstrNotify.isEmpty())
        env.insert(QStringLiteral("NOTIFY_SOCKET"), _qstrNotify);
    return env;
}

void tst_InstalledService::Start(QProcess& _process, quint16 _nZmqPort, quint16 _nWsPort,
                                 const QString& _qstrNotify)
{
    QFile config(UserConfig());
    QVERIFY(config.open(QIODevice::WriteOnly | QIODevice::Truncate));
    config.write(QStringLiteral("[name]\nfolder=user\n[message_service]\nport=%1\nwsport=%2\n")
                     .arg(_nZmqPort)
                     .arg(_nWsPort)
                     .toUtf8());
    config.close();
    _process.setProcessEnvironment(Environment(_qstrNotify));
    _process.setProcessChannelMode(QProcess::MergedChannels);
    _process.start(Installed(QStringLiteral("bin/qorv-utility-service")), QStringList());
    QVERIFY(_process.waitForStarted(10000));
}

void tst_InstalledService::userConfigPortsAndInstalledData()
{
    const quint16 zmqPort = pickFreePort();
    quint16 wsPort = pickFreePort();
    while (wsPort == zmqPort)
        wsPort = pickFreePort();
    NotifySocket notify(m_home.path() + QStringLiteral("/run/notify"));
    QProcess service;
    Start(service, zmqPort, wsPort, notify.Path());
    QVERIFY2(notify.WaitFor(QStringLiteral("READY=1")), service.readAll().constData());

    QDir logs(m_home.path() + QStringLiteral("/Documents/user/log"));
    const QString log = ReadAll(logs.filePath(logs.entryList({QStringLiteral("*[0-9].log")}).value(0)));
    QVERIFY2(log.contains(QStringLiteral("config ") + UserConfig()), qPrintable(log));
    const QString qss =
        QFileInfo(Installed(QStringLiteral("share/qorv-utility-service/qss"))).canonicalFilePath();
    QVERIFY2(log.contains(QStringLiteral("style sheets and images from ") + qss), qPrintable(log));

    // Ready means both ports answer; qorvctl finds them in the same config.ini.
    for (const QString& transport : {QStringLiteral("--ws"), QStringLiteral("--zmq")}) {
        QProcess ctl;
        ctl.setProcessEnvironment(Environment(QString()));
        ctl.start(Installed(QStringLiteral("bin/qorvctl")), {transport, QStringLiteral("abilities")});
        QVERIFY(ctl.waitForFinished(60000));
        const QByteArray out = ctl.readAllStandardOutput();
        QVERIFY2(ctl.exitCode() == 0 && out.contains("download"),
                 (out + ctl.readAllStandardError()).constData());
    }

    // A second start, as a unit started beside a running service: ready, then exit 0.
    QProcess second;
    second.setProcessEnvironment(Environment(notify.Path()));
    second.start(Installed(QStringLiteral("bin/qorv-utility-service")), QStringList());
    QVERIFY(second.waitForFinished(30000));
    QCOMPARE(second.exitCode(), 0);
    QVERIFY(notify.WaitFor(QStringLiteral("READY=1\nSTATUS=another instance is already running")));

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
    NotifySocket notify(m_home.path() + QStringLiteral("/run/notify-clash"));
    QProcess service;
    Start(service, pickFreePort(), squatter.serverPort(), notify.Path());
    QVERIFY2(notify.WaitFor(QStringLiteral("STATUS=")), service.readAll().constData());
    QVERIFY2(notify.Received().contains(QLatin1String("FAILED")), qPrintable(notify.Received()));
    QVERIFY(service.state() == QProcess::Running);
    service.terminate();
    QVERIFY(service.waitForFinished(30000));
    QVERIFY2(!notify.Received().contains(QLatin1String("READY=1")), qPrintable(notify.Received()));
}

QTEST_MAIN(tst_InstalledService)
#include "tst_InstalledService.moc"
