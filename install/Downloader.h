#pragma once

#include "install/DownloadDigests.h"
#include "install/PartialFile.h"
#include "install/RangeResume.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QVector>

#include <atomic>

// Fetches one http(s) URL into one local file on the owner's thread, reports progress, and
// checks the file's MD5 when one is expected (and, when asked, a vendor's signature over its
// SHA-512; see DownloadDigests). Every outcome is a signal carrying the task id.
// The body goes into a PartialFile, which replaces the target only once the transfer has
// succeeded. A connection that ends before the declared length, or a network error once bytes
// arrived, is retried as RangeResume decides, asking only for the bytes not yet in the file.
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
    void SetRetryWaits(const QVector<int>& _vecWaitsMs) { m_resume.SetRetryWaits(_vecWaitsMs); }
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
    // Empties the file and the digests for a reply that starts over from byte 0.
    bool StartOver();
    // For a network error or an early end: keeps what arrived and schedules the next attempt.
    // True when it did, or when keeping the bytes failed (reported); false to fail as before.
    bool RetryAfterCut(QNetworkReply::NetworkError _code);
    void StartDigests();
    // The end of a committed download: the digests are checked, then the one report.
    void FinishDigests();
    // Writes and hashes one piece of the body; false (already reported) when the disk refused it.
    bool WriteChunk(const QByteArray& _baData);
    // Writes what the reply holds in pieces; with _blHoldForDigests it stops while a hash lags
    // behind. False (already reported) when the disk refused a piece.
    bool WriteAvailable(QNetworkReply* _pReply, bool _blHoldForDigests);
    void DisconnectReply();
    // Drops the unfinished file (the target stays as it was) and the pending hash.
    void DiscardFile();

    QNetworkAccessManager m_networkManager;
    // What the client asked for; every attempt starts there (redirects are judged anew).
    QUrl m_urlRequested;
    QPointer<QNetworkReply> m_pReply;
    // The temporary file while a transfer runs.
    PartialFile m_file;
    QString m_qstrFilePath;
    QUrl m_urlCurrent;
    QElapsedTimer m_timerElapsed;
    QString m_qstrId;
    QString m_qstrMd5;
    std::atomic<bool> m_blFinished{false};
    State m_state = State::Idle;
    DownloadDigests m_digests;
    QTimer m_timerStall;
    int m_nStallSeconds = 60;
    RangeResume m_resume;
    Accept m_eAccept = Accept::Wait;
    QTimer m_timerRetry;
    // The highest progress reported in this download: reports only ever rise.
    qint64 m_nReported = -1;
};
