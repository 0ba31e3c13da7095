#pragma once

#include "core/ClientPath.h"
#include "install/DigestStream.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QFile>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QVector>

#include <atomic>
#include <memory>
#include <mutex>

// Fetches one http(s) URL into one local file on the owner's thread, reports progress, and
// checks the file's MD5 when one is expected (and, when asked, a vendor's signature over its
// SHA-512). Every outcome is a signal carrying the task id.
// The body goes into a temporary file beside the target, made and renamed through the target's
// folder opened as ClientPath checks it, and replaces the target only once the transfer has succeeded, so a
// failed or stopped download never leaves a partial file behind and an existing file stays untouched until
// then. A connection that ends before the declared length, or a network error once bytes arrived, is retried
// after each wait of the retry schedule, asking only for the bytes not yet in the temporary file (Range, with
// If-Range naming the version those bytes came from): a 206 that continues exactly there is appended and the
// digests continue, a 200 starts the file over.
class Downloader : public QObject
{
    Q_OBJECT
public:
    explicit Downloader(QObject* _pParent = nullptr);
    // Stops as stopDownload does.
    ~Downloader() override;

    void downloadFile(const QUrl& _url, const QString& _qstrFilePath, const QString& _qstrMd5,
                      const QString& _qstrId);
    // While a download runs (a wait before a retry included): reports USER_STOPED and ends it.
    // Always aborts the reply.
    void stopDownload();

    // The waits before the retries of one download, in milliseconds; their count is the number
    // of retries. The default is kRetryWaitsMs.
    void SetRetryWaits(const QVector<int>& _vecWaitsMs) { m_vecRetryWaitsMs = _vecWaitsMs; }
    // For the downloads that follow: with a non-empty public key (config.ini's text) the file
    // must carry a valid signature (see PackageSignature), else the download fails with
    // SIGNATURE_FAILED_CONTACT_US: at once when the key or the signature cannot be valid, after
    // the transfer when it does not match. An empty key checks nothing.
    void RequireSignature(const QString& _qstrPublicKey, const QString& _qstrSignature);

    bool IsFinished() const { return m_blFinished.load(); }

    // A redirect is followed only to http(s) and never from https down to http.
    static bool IsRedirectAllowed(const QUrl& _urlFrom, const QUrl& _urlTo);

    // Qt buffers at most this much of the body before we take it, which bounds memory.
    static constexpr qint64 kReadBufferBytes = 512 * 1024;
    // Pieces taken from the reply, written and hashed: small enough to stay in the cache from the
    // copy out of the reply through the write, where a write of several MiB costs the kernel many
    // times more per byte.
    static constexpr qint64 kWriteChunkBytes = 256 * 1024;
    static const QVector<int> kRetryWaitsMs;

signals:
    void signCancelDownload();
    void signErrorOccurred(const QString& _qstrErrorInfo, const QString& strId);
    void signProgress(qint64 bytesReceived, qint64 bytesTotal, const QString& strId);
    void signFinished(const QString& strId);

private slots:
    void slotReplyFinished(QNetworkReply* _pReply);
    void slotDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void slotReadyRead();
    void slotErrorOccurred(QNetworkReply::NetworkError _code);
    void slotRedirected(const QUrl& _url);
    void slotStalled();
    void slotRetry();
    // A digest stream's thread has stored its digest.
    void slotDigestReady();

private:
    enum class State { Idle, Running, Done };
    // What the current reply's status and headers mean for its body: not known yet (no status,
    // or a redirect being followed), written to the file, dropped (an error status that the
    // network library reports), or already failed.
    enum class Accept { Wait, Write, Drop, Failed };

    // Stage text "|" detail text, both in this class's translation context.
    static QString ErrorText(const char* _szStage, const QString& _qstrDetail);
    void Report(const QString& _qstrErrorInfo);
    // Ends the download with one report: the reply is cut loose first so it cannot report again.
    void Fail(const QString& _qstrErrorInfo);
    // Sends the request for the bytes not yet in the file; false when there is no reply.
    bool StartRequest();
    // Decides once per reply, from its status and headers, what becomes of its body.
    Accept AcceptReply();
    Accept AcceptRange();
    // Empties the file and the digests for a reply that starts over from byte 0.
    bool StartOver();
    // For a network error or an early end: keeps what arrived and schedules the next attempt.
    // True when it did, or when keeping the bytes failed (reported); false to fail as before.
    bool RetryAfterCut(QNetworkReply::NetworkError _code);
    static bool IsRetryable(QNetworkReply::NetworkError _code);
    void StartDigests();
    bool DigestsFull();
    // The end of a committed download: each running stream hands its digest over, then the checks.
    void FinishDigests();
    void CheckDigest();
    // Writes and hashes one piece of the body; false (already reported) when the disk refused it.
    bool WriteChunk(const QByteArray& _baData);
    // Writes what the reply holds in pieces; with _blHoldForDigests it stops while a hash lags
    // behind. False (already reported) when the disk refused a piece.
    bool WriteAvailable(QNetworkReply* _pReply, bool _blHoldForDigests);
    void DisconnectReply();
    // Opens a new temporary file in the target's folder; false when it cannot be created.
    bool OpenTempFile();
    // Moves the complete temporary file onto the target.
    bool CommitFile();
    // Drops the unfinished temporary file (the target stays as it was) and the pending hash.
    void DiscardFile();

    QNetworkAccessManager m_networkManager;
    // What the client asked for; every attempt starts there (redirects are judged anew).
    QUrl m_urlRequested;
    QPointer<QNetworkReply> m_pReply;
    // The temporary file while a transfer runs, and its name in the target's checked folder.
    std::unique_ptr<QFile> m_pFile;
    QByteArray m_baTemp;
    ClientPath m_parent;
    QString m_qstrFilePath;
    QUrl m_urlCurrent;
    QElapsedTimer m_timerElapsed;
    QString m_qstrId;
    QString m_qstrMd5;
    std::atomic<bool> m_blFinished{false};
    State m_state = State::Idle;
    // Guards the digests the streams' threads store; declared first, so it outlives the streams.
    std::mutex m_mutexDigests;
    // Only while an MD5 is expected: hashes the body as it is written.
    std::unique_ptr<DigestStream> m_pMd5;
    // Only while a signature is required: the same for the SHA-512 it signs.
    std::unique_ptr<DigestStream> m_pSha512;
    QByteArray m_baMd5;
    QByteArray m_baSha512;
    int m_nDigestsPending = 0;
    QString m_qstrPublicKey;
    QString m_qstrSignature;
    // Bytes in the temporary file.
    qint64 m_nWritten = 0;
    QTimer m_timerStall;
    int m_nStallSeconds = 60;

    // Resuming. The whole length once a response declared it, -1 before or without one.
    qint64 m_nTotal = -1;
    // The file's offset at which the current reply's body begins.
    qint64 m_nReplyStart = 0;
    bool m_blRangeAsked = false;
    Accept m_eAccept = Accept::Wait;
    // ETag (a strong one), else Last-Modified, of the response the file's bytes came from.
    QByteArray m_baValidator;
    // Some body bytes arrived in this download (a later error is then worth a retry).
    bool m_blBytesArrived = false;
    int m_nRetries = 0;
    QVector<int> m_vecRetryWaitsMs = kRetryWaitsMs;
    QTimer m_timerRetry;
    // The highest progress reported in this download: reports only ever rise.
    qint64 m_nReported = -1;
};
