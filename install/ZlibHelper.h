#pragma once

#include "core/ClientPath.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <thread>

// Extracts one zip archive into one folder on a thread of its own and reports progress in bytes,
// completion and failure as signals carrying the owner's task id.
// First engine (startUnzip): entries in name order, progress after each file, stops between
// entries and abandons the entry being written (removing its partial file), translated error details. Second
// engine (startUnzipV2): archive order, progress after each 8 KiB chunk, stops within a chunk
// (removing the partial file), English error details. Both refuse an archive whose names could write outside
// the destination before writing anything, stream entries through a fixed buffer, and fail on a CRC mismatch
// or a short entry. The destination is opened as ClientPath checks it (refused when another user
// could change a folder on the way), and everything below it is made through its descriptor:
// no link inside it is followed, whoever put it there. Signals are emitted on the worker thread: connect them
// queued (or auto) to objects elsewhere, and never destroy the helper from a direct connection to its own
// signals.
class ZlibHelper : public QObject
{
    Q_OBJECT
public:
    explicit ZlibHelper(QObject* _pParent = nullptr);
    ~ZlibHelper() override;

    void startUnzip(const QString& _qstrArchive, const QString& _qstrDestination, const QString& _qstrId);
    void startUnzipV2(const QString& _qstrArchive, const QString& _qstrDestination, const QString& _qstrId);
    // Sets the stop flag and waits for the running extraction to end, which either engine does
    // within one chunk; a run that had not ended by itself reports USER_STOPED.
    void CancelUnzipTask();
    // Only sets the stop flag: the run's own thread ends it and reports USER_STOPED, and
    // CancelUnzipTask or the destructor joins it later.
    void requestStop() { m_blStop = true; }

    bool IsFinished() const { return m_blFinished.load(); }
    // True from CancelUnzipTask until the next start; both engines look at it between chunks.
    bool IsStopRequested() const { return m_blStop.load(); }
    // The last error the first engine reported; read it only after the run has ended.
    QString LastError() const { return m_qstrLastError; }
    // The folder the last run extracted into is still the one at _qstrFolder (the same device and
    // inode), for work that goes on to read it by path; ask only after the run has ended.
    bool IsStillDestination(const QString& _qstrFolder) const { return m_destination.IsStill(_qstrFolder); }

    static constexpr unsigned kFirstEngineChunkBytes = 256 * 1024;
    static constexpr unsigned kSecondEngineChunkBytes = 8192;

signals:
    void signUnzipProgress(qint64 bytesReceived, qint64 bytesTotal, const QString& strId);
    void signUnzipFinished(const QString& strId);
    void signErrorOccurred(const QString& _qstrErrorInfo, const QString& strId);

private:
    enum State { Idle, Running, Ended };

    void RunFirstEngine(const QString& _qstrArchive, const QString& _qstrDestination);
    void RunSecondEngine(const QByteArray& _baArchive, const QByteArray& _baDestination);
    void ReportStopped();
    void Fail(const QString& _qstrDetail);
    void Finish();
    void Prepare(const QString& _qstrId);
    static QString ErrorText(const QString& _qstrDetail);
    static void JoinThread(std::thread& _thread, const char* _szNone);

    std::thread m_threadUnzip;
    std::thread m_threadUnzipV2;
    std::atomic<bool> m_blStop{true};
    QString m_qstrId;
    QString m_qstrLastError;
    // Opened by the run's thread before it writes; the owner looks at it once the run has ended.
    ClientPath m_destination;
    std::atomic<bool> m_blFinished{false};
    std::atomic<int> m_nState{Idle};
};
