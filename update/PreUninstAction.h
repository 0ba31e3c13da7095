#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class QProcess;

// Runs an installed application's pre-uninstall action without blocking the caller's thread: the
// script is handed to the system's command interpreter as an argument (never as a command line),
// in a process group of its own, and when it has not ended within the bound it is killed together
// with everything it started. signFinished comes exactly once per Start.
class PreUninstAction : public QObject
{
    Q_OBJECT
public:
    explicit PreUninstAction(QObject* _pParent = nullptr);
    // Kills a run still in progress.
    ~PreUninstAction() override;

    void Start(const QString& _qstrScript);
    void SetTimeoutMs(int _nMs) { m_nTimeoutMs = _nMs; }
    bool IsRunning() const;

    static constexpr int kDefaultTimeoutMs = 60000;

signals:
    // _blCompleted: the action ended by itself (whatever its exit code); false when it could not
    // start or was killed at the bound.
    void signFinished(bool _blCompleted);

private:
    void SlotTimeout();
    void Finish(bool _blCompleted);
    // Platform file: the interpreter, and how a process group is made and killed.
    static QProcess* CreateProcess(QObject* _pParent);
    static void ConfigureProcess(QProcess& _process, const QString& _qstrScript);
    static void KillGroup(QProcess& _process);

    QProcess* m_pProcess = nullptr;
    QTimer m_timer;
    int m_nTimeoutMs = kDefaultTimeoutMs;
    bool m_blRunning = false;
};
