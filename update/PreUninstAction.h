#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class QProcess;

// Runs an installed application's pre-uninstall action without blocking the caller's thread: the
// script is handed to the system's command interpreter as an argument (never as a command line).
// The action lasts until the script and every process it started have ended, and none of them can
// end the watch from inside (DescendantWatch): processes left running by an action that killed its
// watcher are killed at once, and at the bound all of them are. signFinished comes exactly once per
// Start, and only when no process of the action is left.
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
    // After the kill at the bound: how long its processes may take to be gone before the run is
    // reported anyway (one stuck in the kernel cannot die sooner).
    static constexpr int kKillGraceMs = 5000;

signals:
    // _blCompleted: the action ended by itself (whatever its exit code) and left nothing running;
    // false when it could not start, was killed at the bound, or ended its watch from inside.
    void signFinished(bool _blCompleted);

private:
    void SlotTimeout();
    void SlotProcessEnded(bool _blNormalExit);
    void SlotGroupEnded(int _nLeftOver);
    void FinishWhenAllEnded();
    void Finish(bool _blCompleted);
    // Platform file: the interpreter, and what sits between it and this process.
    static QProcess* CreateProcess(QObject* _pParent);
    static void ConfigureProcess(QProcess& _process, const QString& _qstrScript);

    QProcess* m_pProcess = nullptr;
    QString m_qstrScript; // absolute, for the log
    QTimer m_timer;
    int m_nTimeoutMs = kDefaultTimeoutMs;
    int m_nGroup = 0;
    int m_nLeftOver = 0;
    bool m_blRunning = false;
    bool m_blProcessEnded = false;
    bool m_blGroupEnded = false;
    bool m_blNormalExit = false;
    bool m_blKilled = false;
    bool m_blStartFailed = false;
};
