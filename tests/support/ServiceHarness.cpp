#include "tests/support/ServiceHarness.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kStartAttempts = 4;

// Lets queued Qt work run while the harness waits on the child process.
void Pump(int _nMs)
{
    if (!QCoreApplication::instance()) {
        QThread::msleep(static_cast<unsigned long>(_nMs));
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(_nMs, &loop, &QEventLoop::quit);
    loop.exec();
}

bool PortAccepts(quint16 _nPort)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, _nPort);
    const bool ok = socket.waitForConnected(500);
    socket.abort();
    return ok;
}

QString ConfigValue(const QMap<QString, QString>& _mapExtra, const QString& _qstrKey,
                    const QString& _qstrDefault)
{
    return _mapExtra.value(_qstrKey, _qstrDefault);
}

} // namespace

QString serviceBinary()
{
    // ./test --windows points the same tests at the Windows build, which Wine runs.
    const QString windows = qEnvironmentVariable("QORV_WINDOWS_SERVICE");
    return windows.isEmpty() ? qEnvironmentVariable("QORV_SERVICE_BIN") : windows;
}

QString serviceWine()
{
    return qEnvironmentVariable("QORV_WINDOWS_SERVICE").isEmpty() ? QString()
                                                                  : qEnvironmentVariable("QORV_SERVICE_WINE");
}

QString servicePath(const QString& _qstrPath)
{
    return serviceWine().isEmpty() ? _qstrPath : QStringLiteral("Z:") + _qstrPath;
}

QString qorvctlBinary()
{
    return qEnvironmentVariable("QORV_QORVCTL_BIN");
}

int runAsStranger(const QString& _qstrShellLine, int _nTimeoutMs)
{
    QProcess stranger;
    stranger.setProcessChannelMode(QProcess::ForwardedChannels);
    stranger.start(QStringLiteral("setpriv"),
                   {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                    QStringLiteral("--clear-groups"), QStringLiteral("sh"), QStringLiteral("-c"),
                    _qstrShellLine});
    if (!stranger.waitForFinished(_nTimeoutMs) || stranger.exitStatus() != QProcess::NormalExit)
        return -1;
    return stranger.exitCode();
}

quint16 pickFreePort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

ServiceProcess::ServiceProcess(const QMap<QString, QString>& _mapExtra) : m_mapExtra(_mapExtra) {}

ServiceProcess::~ServiceProcess()
{
    if (m_pProcess && !isRunning() && !m_blEndedByUs)
        qWarning().noquote() << "ServiceProcess: the service ended on its own, exit code"
                             << m_pProcess->exitCode() << "; its console:\n"
                             << consoleText().right(6000);
    if (isRunning())
        stop(2000);
    if (!serviceWine().isEmpty() && m_pDir) {
        // The private Wine server lets go of the prefix before the folder goes.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("WINEPREFIX"), winePrefix());
        QProcess server;
        server.setProcessEnvironment(env);
        server.start(QFileInfo(serviceWine()).absolutePath() + QStringLiteral("/wineserver"),
                     {QStringLiteral("-k")});
        server.waitForFinished(10000);
    }
    const QString report = sanitizerReport();
    if (!report.isEmpty())
        qWarning().noquote() << "ServiceProcess: sanitizer report of the service:\n" << report.left(20000);
    // Kept for a look after a failed run.
    if (m_pDir && qEnvironmentVariableIsSet("QORV_E2E_KEEP")) {
        m_pDir->setAutoRemove(false);
        qWarning().noquote() << "ServiceProcess: kept" << root();
    }
}

QString ServiceProcess::sanitizerReport() const
{
    const QString console = consoleText();
    for (const char* marker :
         {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"}) {
        const int at = console.indexOf(QLatin1String(marker));
        if (at >= 0)
            return console.mid(qMax(0, console.lastIndexOf(QLatin1Char('\n'), at)));
    }
    return QString();
}

QString ServiceProcess::root() const
{
    return m_pDir ? m_pDir->path() : QString();
}

QString ServiceProcess::binDir() const
{
    return root() + QStringLiteral("/bin");
}

QString ServiceProcess::configPath() const
{
    return binDir() + QStringLiteral("/config.ini");
}

QString ServiceProcess::dataRoot() const
{
    return root() + QStringLiteral("/Documents/") +
           ConfigValue(m_mapExtra, QStringLiteral("name/folder"), QStringLiteral("folder"));
}

QString ServiceProcess::winePrefix() const
{
    return root() + QStringLiteral("/wine");
}

bool ServiceProcess::MakeWinePrefix()
{
    // Wine keeps the user's folders, named objects and locks in its prefix, whatever HOME says:
    // each service gets a prefix of its own, as each Linux service gets its own HOME. The
    // template's files are linked, not copied (they are only read), but for the registry, which
    // Wine rewrites.
    QString shared = qEnvironmentVariable("WINEPREFIX");
    if (shared.isEmpty())
        shared = QDir::homePath() + QStringLiteral("/.wine");
    if (QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-al"), shared, winePrefix()}) != 0)
        return false;
    // What programs write to (the user's folders, their locks among them) is copied whole.
    for (const char* folder : {"drive_c/users", "drive_c/ProgramData"}) {
        const QString mine = winePrefix() + QLatin1Char('/') + QLatin1String(folder);
        QDir(mine).removeRecursively();
        if (QProcess::execute(
                QStringLiteral("cp"),
                {QStringLiteral("-a"), shared + QLatin1Char('/') + QLatin1String(folder), mine}) != 0)
            return false;
    }
    for (const char* name : {"system.reg", "user.reg", "userdef.reg"}) {
        const QString file = winePrefix() + QLatin1Char('/') + QLatin1String(name);
        QFile::remove(file);
        QFile::copy(shared + QLatin1Char('/') + QLatin1String(name), file);
    }
    // Its Documents folder is this service's, where the Linux one has it (a link in Wine's own).
    const passwd* user = ::getpwuid(::getuid());
    const QString documents = winePrefix() + QStringLiteral("/drive_c/users/") +
                              QString::fromLocal8Bit(user ? user->pw_name : "root") +
                              QStringLiteral("/Documents");
    QFile::remove(documents);
    return QFile::link(root() + QStringLiteral("/Documents"), documents);
}

qint64 ServiceProcess::pid() const
{
    return m_pProcess ? m_pProcess->processId() : 0;
}

bool ServiceProcess::isRunning() const
{
    return m_pProcess && m_pProcess->state() != QProcess::NotRunning;
}

bool ServiceProcess::WriteConfig()
{
    // Keys grouped the way QSettings writes them; the ports come first so extras can override.
    QMap<QString, QMap<QString, QString>> groups;
    groups[QStringLiteral("message_service")][QStringLiteral("port")] = QString::number(m_nZmqPort);
    groups[QStringLiteral("message_service")][QStringLiteral("wsport")] = QString::number(m_nWsPort);
    for (auto it = m_mapExtra.constBegin(); it != m_mapExtra.constEnd(); ++it) {
        const int slash = it.key().indexOf(QLatin1Char('/'));
        const QString group = slash < 0 ? QStringLiteral("General") : it.key().left(slash);
        const QString key = slash < 0 ? it.key() : it.key().mid(slash + 1);
        groups[group][key] = it.value();
    }
    QFile file(configPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray text;
    for (auto group = groups.constBegin(); group != groups.constEnd(); ++group) {
        text += '[' + group.key().toUtf8() + "]\n";
        for (auto entry = group->constBegin(); entry != group->constEnd(); ++entry)
            text += entry.key().toUtf8() + '=' + entry.value().toUtf8() + '\n';
        text += '\n';
    }
    return file.write(text) == text.size();
}

bool ServiceProcess::start(int _nTimeoutMs)
{
    m_qstrError.clear();
    if (isRunning()) {
        m_qstrError = QStringLiteral("already running");
        return false;
    }
    const QString binary = serviceBinary();
    if (binary.isEmpty() || !QFileInfo(binary).isExecutable()) {
        m_qstrError = QStringLiteral("QORV_SERVICE_BIN does not name an executable: ") + binary;
        return false;
    }
    m_pDir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/qorv-e2e-XXXXXX"));
    if (!m_pDir->isValid()) {
        m_qstrError = QStringLiteral("cannot create a temporary folder");
        return false;
    }
    if (!serviceWine().isEmpty() && !MakeWinePrefix()) {
        m_qstrError = QStringLiteral("cannot make a Wine prefix in ") + winePrefix();
        return false;
    }
    QDir dir(root());
    for (const char* sub : {"bin", "tmp", "run", ".config", ".local/share", ".cache", "Documents"})
        dir.mkpath(QLatin1String(sub));
    QFile::setPermissions(root() + QStringLiteral("/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString copy = binDir() + QLatin1Char('/') + QFileInfo(binary).fileName();
    if (!QFile::copy(binary, copy)) {
        m_qstrError = QStringLiteral("cannot copy the service to ") + copy;
        return false;
    }
    // A Windows build loads its DLLs and Qt's plugins from beside itself.
    if (!serviceWine().isEmpty()) {
        const QDir from = QFileInfo(binary).absoluteDir();
        for (const QString& name : from.entryList({QStringLiteral("*.dll"), QStringLiteral("platforms"),
                                                   QStringLiteral("imageformats"), QStringLiteral("styles")}))
            QFile::link(from.filePath(name), binDir() + QLatin1Char('/') + name);
    }
    // Style sheets and images that the service reads from beside its executable.
    const QString qss = QFileInfo(binary).absolutePath() + QStringLiteral("/qss");
    if (QFileInfo(qss).isDir()) {
        QDirIterator it(qss, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString from = it.next();
            const QString to = binDir() + QStringLiteral("/qss/") + QDir(qss).relativeFilePath(from);
            QDir().mkpath(QFileInfo(to).absolutePath());
            QFile::copy(from, to);
        }
    }
    m_nZmqPort = 0;
    m_nWsPort = 0;
    return Launch(_nTimeoutMs);
}

void ServiceProcess::shareTemporaryFolder()
{
    ::chmod(QFile::encodeName(root()).constData(), 0711);
    ::chmod(QFile::encodeName(root() + QStringLiteral("/tmp")).constData(), 01777);
}

bool ServiceProcess::restart(int _nTimeoutMs)
{
    m_qstrError.clear();
    if (!m_pDir) {
        m_qstrError = QStringLiteral("restart before start");
        return false;
    }
    if (isRunning())
        kill();
    return Launch(_nTimeoutMs);
}

void ServiceProcess::setDisplay(const QString& _qstrDisplay)
{
    // Wine shows a Windows program's windows on the X display it is given.
    setEnvironment(QStringLiteral("DISPLAY"), _qstrDisplay);
    setEnvironment(QStringLiteral("QT_QPA_PLATFORM"),
                   serviceWine().isEmpty() ? QStringLiteral("xcb") : QStringLiteral("windows"));
}

void ServiceProcess::setEnvironment(const QString& _qstrName, const QString& _qstrValue)
{
    m_mapEnv.insert(_qstrName, _qstrValue);
}

bool ServiceProcess::Launch(int _nTimeoutMs)
{
    QDeadlineTimer deadline(_nTimeoutMs);
    for (int attempt = 0; attempt < kStartAttempts && !deadline.hasExpired(); ++attempt) {
        // A restart keeps its ports unless they were taken meanwhile.
        if (m_nZmqPort == 0 || m_nWsPort == 0 || attempt > 0) {
            m_nZmqPort = pickFreePort();
            m_nWsPort = pickFreePort();
            while (m_nWsPort == m_nZmqPort)
                m_nWsPort = pickFreePort();
        }
        if (!WriteConfig()) {
            m_qstrError = QStringLiteral("cannot write ") + configPath();
            return false;
        }
        m_nLogOffset = logText().size();
        m_pProcess = std::make_unique<QProcess>();
        m_blEndedByUs = false;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), root());
        env.insert(QStringLiteral("TMPDIR"), root() + QStringLiteral("/tmp"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root() + QStringLiteral("/run"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), root() + QStringLiteral("/.config"));
        // A config.ini installed on this machine is not the test's.
        env.insert(QStringLiteral("XDG_CONFIG_DIRS"), root() + QStringLiteral("/xdg"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), root() + QStringLiteral("/.local/share"));
        env.insert(QStringLiteral("XDG_CACHE_HOME"), root() + QStringLiteral("/.cache"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        if (!serviceWine().isEmpty())
            env.insert(QStringLiteral("WINEPREFIX"), winePrefix());
        for (auto it = m_mapEnv.constBegin(); it != m_mapEnv.constEnd(); ++it)
            env.insert(it.key(), it.value());
        const QString console = root() + QStringLiteral("/console.txt");
        if (m_blJournal) {
            // As systemd names the stream it connected: the console file's device and inode.
            QFile touch(console);
            touch.open(QIODevice::Append);
            struct stat info = {};
            if (::stat(QFile::encodeName(console).constData(), &info) == 0)
                env.insert(QStringLiteral("JOURNAL_STREAM"), QStringLiteral("%1:%2")
                                                                 .arg(static_cast<qulonglong>(info.st_dev))
                                                                 .arg(static_cast<qulonglong>(info.st_ino)));
        }
        m_pProcess->setProcessEnvironment(env);
        m_pProcess->setWorkingDirectory(binDir());
        m_pProcess->setProcessChannelMode(QProcess::MergedChannels);
        m_pProcess->setStandardOutputFile(console, QIODevice::Append);
        const QString program = binDir() + QLatin1Char('/') + QFileInfo(serviceBinary()).fileName();
        if (serviceWine().isEmpty())
            m_pProcess->start(program, QStringList());
        else
            m_pProcess->start(serviceWine(), {program});
        if (!m_pProcess->waitForStarted(10000)) {
            m_qstrError = QStringLiteral("the service did not start: ") + m_pProcess->errorString();
            return false;
        }
        if (WaitUntilListening(static_cast<int>(deadline.remainingTime())))
            return true;
        // Most likely another process took a port between picking and binding: try new ones.
        kill();
    }
    if (m_qstrError.isEmpty())
        m_qstrError = QStringLiteral("the service did not listen in time");
    m_qstrError += QStringLiteral("; console: ") + consoleText().right(2000);
    return false;
}

bool ServiceProcess::WaitUntilListening(int _nTimeoutMs)
{
    QDeadlineTimer deadline(_nTimeoutMs);
    while (!deadline.hasExpired()) {
        if (!isRunning()) {
            m_qstrError = QStringLiteral("the service exited with code %1").arg(m_pProcess->exitCode());
            return false;
        }
        // The start line tells whether our copy bound both ports, so a stranger that took a
        // port is not mistaken for the service.
        const QString log = logText().mid(m_nLogOffset);
        const int line = log.lastIndexOf(QLatin1String(" started; zeromq"));
        if (line >= 0) {
            const QString startLine = log.mid(line, log.indexOf(QLatin1Char('\n'), line) - line);
            if (startLine.contains(QLatin1String("not listening"))) {
                m_qstrError = QStringLiteral("port clash: ") + startLine;
                return false;
            }
        }
        // Without the start line (a log level above warnings) the ports alone have to do.
        const bool logged =
            line >= 0 ||
            ConfigValue(m_mapExtra, QStringLiteral("log/level"), QStringLiteral("1")).toInt() > 1 ||
            _nTimeoutMs - deadline.remainingTime() > 5000;
        // Under Wine a probe of the ZeroMQ port can cost the first client its connection (the probe
        // and the client race through the peer check), so there the start line speaks for it.
        const bool zmqReady = serviceWine().isEmpty() ? PortAccepts(m_nZmqPort) : line >= 0;
        if (logged && zmqReady && PortAccepts(m_nWsPort))
            return true;
        Pump(20);
    }
    m_qstrError = QStringLiteral("the service did not listen within the bound");
    return false;
}

int ServiceProcess::stop(int _nGraceMs)
{
    if (!isRunning())
        return m_pProcess ? m_pProcess->exitCode() : -1;
    m_blEndedByUs = true;
    // Wine ends a program at once on SIGTERM; SIGINT reaches it as Ctrl-C, a clean stop.
    ::kill(static_cast<pid_t>(m_pProcess->processId()), serviceWine().isEmpty() ? SIGTERM : SIGINT);
    if (m_pProcess->waitForFinished(_nGraceMs))
        return m_pProcess->exitStatus() == QProcess::NormalExit ? m_pProcess->exitCode() : -1;
    kill();
    return -1;
}

void ServiceProcess::kill()
{
    if (!isRunning())
        return;
    m_blEndedByUs = true;
    m_pProcess->kill();
    m_pProcess->waitForFinished(10000);
}

QString ServiceProcess::logText() const
{
    QDir folder(dataRoot() + QStringLiteral("/log"));
    // Stamped names sort by time.
    const QStringList names = folder.entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Name);
    QString text;
    for (const QString& name : names) {
        QFile file(folder.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromUtf8(file.readAll());
    }
    return text;
}

bool ServiceProcess::waitForLog(const QString& _qstrNeedle, int _nTimeoutMs) const
{
    QDeadlineTimer deadline(_nTimeoutMs);
    for (;;) {
        if (logText().contains(_qstrNeedle))
            return true;
        if (deadline.hasExpired())
            return false;
        Pump(10);
    }
}

QString ServiceProcess::consoleText() const
{
    QFile file(root() + QStringLiteral("/console.txt"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
