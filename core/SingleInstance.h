#pragma once

#include <QFile>
#include <QString>

// One instance per user: a lock the kernel releases when the process dies, so a killed
// instance never blocks the next start. The lock lives in a folder only this user can enter,
// so no other user can take it first.
class SingleInstance
{
public:
    enum class State { Acquired, HeldByAnother, Unusable };

    explicit SingleInstance(const QString& _qstrKey);
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Acquired also when this process holds it already; Unusable (see Error()) when the lock's
    // folder or file fails its check.
    State Acquire();
    QString LockPath() const { return m_qstrPath; }
    // After HeldByAnother: the pid the holder wrote into the lock, 0 when it has not yet.
    qint64 HolderPid() const { return m_nHolderPid; }
    QString Error() const { return m_qstrError; }

private:
    QString m_qstrKey;
    QString m_qstrPath;
    QString m_qstrError;
    QFile m_file;
    bool m_blHeld = false;
    qint64 m_nHolderPid = 0;
};
