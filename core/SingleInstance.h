#pragma once

#include <QString>

// One instance per user: a lock the kernel releases when the process dies, so a killed
// instance never blocks the next start.
class SingleInstance
{
public:
    explicit SingleInstance(const QString& _qstrKey);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when this process now holds the guard; false when another instance holds it.
    bool TryAcquire();
    QString LockPath() const { return m_qstrPath; }

private:
    QString m_qstrPath;
    int m_nHandle = -1;
};
