#pragma once

// Drives the built service as a child process in a private temporary folder, for tests that go
// through the real transports. Include this one header; it brings the test clients along.

#include "core/JsonCommand.h"
#include "tests/support/RawWsClient.h"
#include "tests/support/TestEnvelope.h"
#include "tests/support/WsTestClient.h"
#include "tests/support/ZmqTestClient.h"

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// Reads the service binary from QORV_SERVICE_BIN and the client from QORV_QORVCTL_BIN.
QString serviceBinary();
// The Wine loader when the tests drive the Windows build (./test --windows), else empty.
QString serviceWine();
// A path of this machine as the service names it: unchanged, or on Wine's Z: drive (the Unix root),
// as a Windows client would give it.
QString servicePath(const QString& _qstrPath);
QString qorvctlBinary();

// Runs a shell line as another user of the machine (nobody, uid 65534) through setpriv, as an
// attacker would; its exit code, or -1 when it could not run or did not end within the bound.
int runAsStranger(const QString& _qstrShellLine, int _nTimeoutMs = 30000);

// A port that was free a moment ago (bound to 0 on 127.0.0.1, then closed).
quint16 pickFreePort();

class ServiceProcess
{
public:
    // _mapExtra: "group/key" -> value, written into config.ini after the ports.
    explicit ServiceProcess(const QMap<QString, QString>& _mapExtra = {});
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    // Sets a variable of the service's environment for the next start (DISPLAY of a private
    // X server, for example); applied after the harness's own, so it may replace them.
    void setEnvironment(const QString& _qstrName, const QString& _qstrValue);
    // The console (standard output and error, consoleText()) stands for the journal: the service
    // finds it named in JOURNAL_STREAM, as under systemd.
    void setConsoleIsJournal() { m_blJournal = true; }
    // The service's windows go to this X display, through Qt's X11 platform.
    void setDisplay(const QString& _qstrDisplay);

    // Creates the folder, copies the executable to root()/bin, writes config.ini with two free
    // ports and starts the service; true once both ports accept. Retries on a port clash.
    bool start(int _nTimeoutMs = 30000);
    // After start(): lets other users pass through root() and makes root()/tmp shared as /tmp is
    // (mode 1777), so that a test can plant things there as another user.
    void shareTemporaryFolder();
    // Starts again in the same folder (same ports when still free) after kill() or stop().
    bool restart(int _nTimeoutMs = 30000);
    // SIGTERM, a bounded wait, then SIGKILL. Returns the exit code (-1 when it had to be killed).
    int stop(int _nGraceMs = 3000);
    void kill();
    bool isRunning() const;

    quint16 zmqPort() const { return m_nZmqPort; }
    quint16 wsPort() const { return m_nWsPort; }
    qint64 pid() const;
    // The temporary folder; also HOME of the service.
    QString root() const;
    // Where the copied executable and its config.ini live (root()/bin).
    QString binDir() const;
    QString configPath() const;
    // HOME/Documents/<folder>: logs under "log", crash reports under "dmp".
    QString dataRoot() const;
    // The Wine prefix of this service when it is a Windows build (./test --windows).
    QString winePrefix() const;
    // Every log file of every run in this folder, oldest first.
    QString logText() const;
    bool waitForLog(const QString& _qstrNeedle, int _nTimeoutMs = 10000) const;
    // What the process wrote on its standard output and error.
    QString consoleText() const;
    // A sanitizer's report on the console (from its first line on), empty when there is none.
    // Set QORV_E2E_KEEP=1 to keep the temporary folder after the test.
    QString sanitizerReport() const;
    QString errorString() const { return m_qstrError; }

private:
    bool WriteConfig();
    bool MakeWinePrefix();
    bool Launch(int _nTimeoutMs);
    bool WaitUntilListening(int _nTimeoutMs);

    QMap<QString, QString> m_mapExtra;
    QMap<QString, QString> m_mapEnv;
    std::unique_ptr<QTemporaryDir> m_pDir;
    std::unique_ptr<QProcess> m_pProcess;
    quint16 m_nZmqPort = 0;
    quint16 m_nWsPort = 0;
    int m_nLogOffset = 0;
    bool m_blEndedByUs = false;
    bool m_blJournal = false;
    QString m_qstrError;
};
