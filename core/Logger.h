#pragma once

#include "core/LogFiles.h"
#include "core/LogText.h"
#include "core/StandardError.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <mutex>

// Routes Qt's messages into a per-run log file under the user's data folder (LogFiles), as lines
// LogText formats, and repeats them on standard error; holds the lines of a batch until it ends.
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

    QString MainLogPath() const { return m_files.MainPath(); }
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

    // The pure parts, kept here for the many callers that reach them through the logger.
    static QString FormatLogLine(QtMsgType _type, const QDateTime& _time, const QString& _qstrText)
    {
        return LogText::FormatLogLine(_type, _time, _qstrText);
    }
    static int RemoveOldLogs(const QString& _qstrFolder, const QDateTime& _now)
    {
        return LogFiles::RemoveOldLogs(_qstrFolder, _now);
    }
    static QByteArray ClipForLog(const QByteArray& _baText) { return LogText::ClipForLog(_baText); }
    static QByteArray QuotedUtf8(const QByteArray& _baText) { return LogText::QuotedUtf8(_baText); }
    static void AppendQuoted(QByteArray& _baOut, const QByteArray& _baText)
    {
        LogText::AppendQuoted(_baOut, _baText);
    }
    static constexpr int kLogClipBytes = LogText::kLogClipBytes;

private:
    Logger() = default;
    ~Logger();
    // With m_mutex held: the main file was opened or changed, so the pending lines and the crash
    // line follow it.
    void FollowMainFile();
    // With m_mutex held.
    void ContinueInNextFile();
    // Both write what waits, to the file or to standard error.
    void WritePendingLocked();
    void WriteEchoLocked();
    void WriteUtf8(QtMsgType _type, const QByteArray& _baText, const char* _szCategory);

    std::mutex m_mutex;
    std::atomic<int> m_nLevel{1};
    std::atomic<bool> m_blHandlerInstalled{false};
    StandardError::Kind m_echo = StandardError::Kind::Other;
    bool m_blJournalAll = false;
    QByteArray m_baEchoPending;
    LogFiles m_files;
    // The formatted time changes once a second; formatting it per line is the costly part.
    qint64 m_nStampSecond = -1;
    QByteArray m_baStamp;
};
