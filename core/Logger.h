#pragma once

#include "core/PrivateFolder.h"
#include "core/StandardError.h"

#include <QDateTime>
#include <QFile>
#include <QLoggingCategory>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <mutex>

// Routes Qt's messages into a per-run log file under the user's data folder.
class Logger
{
public:
    static Logger& Instance();

    // Creates the log folder (only the user may enter it), opens this run's two files (only the
    // user may read them) and removes logs older than 60 days. False when the folder fails its
    // check: every envelope is logged, so the log is never written where others could read it.
    bool Init(int _nLevel, const QString& _qstrFolder);
    // A file that reaches _nMaxFileBytes continues in "<stamp>-<n>.log"; the folder's "*.log"
    // files are kept under _nMaxTotalBytes by deleting the oldest. Takes effect at once.
    void SetLimits(qint64 _nMaxFileBytes, qint64 _nMaxTotalBytes);
    // Installs the Qt message handler that writes through this logger.
    void InstallHandler();

    // _szCategory decides only what the journal gets (see IsForJournal).
    void Write(QtMsgType _type, const QString& _qstrText, const char* _szCategory = nullptr);
    // A line already in UTF-8, with the category's filter applied: written straight to this
    // logger while its handler is installed, so the hub's two lines per envelope skip Qt's
    // debug stream; through Qt's handler otherwise.
    static void WriteLine(const QLoggingCategory& _category, QtMsgType _type, const QByteArray& _baUtf8);
    // Repeats written lines on standard error: every line as in the file at a terminal; under
    // the journal without the time (it adds its own), with its priority prefix, and only the
    // lines IsForJournal() lets through unless _blJournalAll. Also when the log folder was
    // refused, so that the refusal is seen somewhere.
    void SetEcho(StandardError::Kind _kind, bool _blJournalAll = false);
    // The journal is read by more people than the 0600 log files and is searched by priority:
    // it gets critical and fatal lines and the service's own warnings (start, stop,
    // configuration, refusals; category "qorv.service"), never envelopes or what they carry.
    static bool IsForJournal(QtMsgType _type, const char* _szCategory);

    // While one lives on a thread, that thread's lines wait in a fixed buffer and go out in one
    // write when the outermost ends, when the buffer is full, or with the next line of a thread
    // outside a batch (so the file keeps the order of the lines). A burst of envelopes then costs
    // one write instead of one per line. Whatever must be in the log before a reply leaves is
    // written by the time the batch ends.
    class Batch
    {
    public:
        Batch();
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;
    };
    // For the crash handler: writes the lines still waiting, with write(2) only.
    static void WritePendingFromSignal();
    // Lets hot paths skip building a message the level filter would drop anyway.
    static bool IsWritten(QtMsgType _type)
    {
        return _type != QtInfoMsg && static_cast<int>(_type) >= Instance().m_nLevel;
    }

    QString MainLogPath() const { return m_fileMain.fileName(); }
    int Level() const { return m_nLevel; }

    // The user's documents folder joined with the configured data folder name.
    static QString DataRoot(const QString& _qstrFolder);
    static QString LogFolder(const QString& _qstrFolder)
    {
        return DataRoot(_qstrFolder) + QStringLiteral("/log/");
    }
    static QString DumpFolder(const QString& _qstrFolder)
    {
        return DataRoot(_qstrFolder) + QStringLiteral("/dmp/");
    }

    // "[W]:2024-03-05 14:02:11\ttext"; info and unknown types get the tags the handler uses.
    static QString FormatLogLine(QtMsgType _type, const QDateTime& _time, const QString& _qstrText);
    // Deletes plain "*.log" files in the folder last written more than 60 days before now.
    static int RemoveOldLogs(const QString& _qstrFolder, const QDateTime& _now);
    // Deletes the oldest "*.log" files (never _qstrKeep) until the folder's total is within the bound.
    static int RemoveOldestBeyond(const QString& _qstrFolder, qint64 _nMaxTotalBytes,
                                  const QString& _qstrKeep);
    // Caps what one message can put into the log: the first 16 KiB and the full length.
    static QByteArray ClipForLog(const QByteArray& _baText);
    // A byte string in double quotes exactly as Qt's debug stream writes it; fast for plain ASCII.
    static QByteArray QuotedUtf8(const QByteArray& _baText);
    static void AppendQuoted(QByteArray& _baOut, const QByteArray& _baText);

    static constexpr int kLogClipBytes = 16 * 1024;
    static constexpr qint64 kMaxLogAgeSeconds = 60LL * 86400;

private:
    Logger() = default;
    static const char* Tag(QtMsgType _type);
    static QByteArray EchoLine(QtMsgType _type, const QByteArray& _baStamp, const QByteArray& _baText,
                               StandardError::Kind _kind);
    // With m_mutex held: the file was opened or changed, so the crash line follows it.
    void FollowWithCrashLine();
    ~Logger();
    // With m_mutex held.
    void ContinueInNextFile();
    // Both write what waits, to the file or to standard error.
    void WritePendingLocked();
    void WriteEchoLocked();
    void WriteUtf8(QtMsgType _type, const QByteArray& _baText, const char* _szCategory);

    static constexpr qint64 kDefaultMaxFileBytes = 64LL * 1024 * 1024;
    static constexpr qint64 kDefaultMaxTotalBytes = 512LL * 1024 * 1024;

    std::mutex m_mutex;
    std::atomic<int> m_nLevel{1};
    std::atomic<bool> m_blHandlerInstalled{false};
    StandardError::Kind m_echo = StandardError::Kind::Other;
    bool m_blJournalAll = false;
    QByteArray m_baEchoPending;
    QString m_qstrFolder;
    PrivateFolder m_logFolder;
    QFile m_fileMain;
    QFile m_fileJs;
    QString m_qstrStamp;
    int m_nNextPart = 1;
    qint64 m_nMainBytes = 0;
    qint64 m_nMaxFileBytes = kDefaultMaxFileBytes;
    qint64 m_nMaxTotalBytes = kDefaultMaxTotalBytes;
    // The formatted time changes once a second; formatting it per line is the costly part.
    qint64 m_nStampSecond = -1;
    QByteArray m_baStamp;
};
