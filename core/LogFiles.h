#pragma once

#include "core/PrivateFolder.h"
#include "core/Result.h"

#include <QDateTime>
#include <QFile>
#include <QString>

// This run's log files in the service's log folder, which only the user may enter: the main file
// and the one for pages' script lines, both named by the run's start time. The main file
// continues in "<stamp>-<n>.log" when it reaches its size bound, and the folder's "*.log" files
// are kept within their total bound and younger than 60 days. Not thread-safe: the logger
// serialises every call.
class LogFiles
{
public:
    // Makes or checks "<_qstrDataRoot>/log" and opens this run's two files in it (only the user
    // may read them); fails when the folder fails its check. A file that cannot be opened leaves
    // IsOpen() false.
    Result<> Open(const QString& _qstrDataRoot);
    // Removes the logs older than 60 days, then the oldest until the folder is within its bound.
    void Tidy();
    // Takes effect at once: the folder is brought within the new total.
    void SetLimits(qint64 _nMaxFileBytes, qint64 _nMaxTotalBytes);

    bool IsOpen() const { return m_fileMain.isOpen() && m_fileJs.isOpen(); }
    bool IsMainOpen() const { return m_fileMain.isOpen(); }
    int MainHandle() const { return m_fileMain.handle(); }
    QString MainPath() const { return m_fileMain.fileName(); }

    // True when _nBytes more would take the main file past its bound (a file holds at least one
    // line, however long).
    bool IsFullFor(qint64 _nBytes) const
    {
        return m_nMainBytes > 0 && m_nMainBytes + _nBytes > m_nMaxFileBytes;
    }
    // Closes the main file and opens the next part; the caller writes what it holds for the old
    // one first.
    void OpenNextPart();
    // Deletes the oldest logs until the folder leaves room for the main file to grow to its bound.
    void KeepWithinBound();
    // Bytes that go to the main file, counted against its bound when they are assigned to it.
    void CountMainBytes(qint64 _nBytes) { m_nMainBytes += _nBytes; }
    // Writes to the main file and flushes; the bytes written, or -1.
    qint64 WriteMain(const char* _pData, qint64 _nBytes);

    // Deletes plain "*.log" files in the folder last written more than 60 days before _now.
    static int RemoveOldLogs(const QString& _qstrFolder, const QDateTime& _now);
    // Deletes the oldest "*.log" files (never _qstrKeep) until the folder's total is within the bound.
    static int RemoveOldestBeyond(const QString& _qstrFolder, qint64 _nMaxTotalBytes,
                                  const QString& _qstrKeep);

    static constexpr qint64 kMaxLogAgeSeconds = 60LL * 86400;

private:
    static constexpr qint64 kDefaultMaxFileBytes = 64LL * 1024 * 1024;
    static constexpr qint64 kDefaultMaxTotalBytes = 512LL * 1024 * 1024;

    QString m_qstrFolder; // with a trailing slash
    PrivateFolder m_logFolder;
    QFile m_fileMain;
    QFile m_fileJs;
    QString m_qstrStamp;
    int m_nNextPart = 1;
    qint64 m_nMainBytes = 0;
    qint64 m_nMaxFileBytes = kDefaultMaxFileBytes;
    qint64 m_nMaxTotalBytes = kDefaultMaxTotalBytes;
};
