#pragma once

#include "install/Md5Stream.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QFile>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <memory>

// Fetches one http(s) URL into one local file on the owner's thread, reports progress, and
// checks the file's MD5 when one is expected. Every outcome is a signal carrying the task id.
// The body goes into a temporary file beside the target that replaces the target only once the
// transfer has succeeded, so a failed or stopped download never leaves a partial file behind and
// an existing file stays untouched until then.
class Downloader : public QObject
{
    Q_OBJECT
public:
    explicit Downloader(QObject* _pParent = nullptr);
    // Stops as stopDownload does.
    ~Downloader() override;

    void downloadFile(const QUrl& _url, const QString& _qstrFilePath, const QString& _qstrMd5,
                      const QString& _qstrId);
    // While a download runs: reports USER_STOPED and ends it. Always aborts the reply.
    void stopDownload();

    bool IsFinished() const { return m_blFinished.load(); }

    // A redirect is followed only to http(s) and never from https down to http.
    static bool IsRedirectAllowed(const QUrl& _urlFrom, const QUrl& _urlTo);

    // Qt buffers at most this much of the body before we take it, which bounds memory.
    static constexpr qint64 kReadBufferBytes = 4 * 1024 * 1024;

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

private:
    enum class State { Idle, Running, Done };

    // Stage text "|" detail text, both in this class's translation context.
    static QString ErrorText(const char* _szStage, const QString& _qstrDetail);
    void Report(const QString& _qstrErrorInfo);
    // Ends the download with one report: the reply is cut loose first so it cannot report again.
    void Fail(const QString& _qstrErrorInfo);
    // The end of a committed download: the digest (empty without a stream) against the expected.
    void CheckDigest(const QString& _qstrComputed);
    // Writes and hashes one piece of the body; false (already reported) when the disk refused it.
    bool WriteChunk(const QByteArray& _baData);
    void DisconnectReply();
    // Opens a new temporary file in the target's folder; false when it cannot be created.
    bool OpenTempFile();
    // Moves the complete temporary file onto the target.
    bool CommitFile();
    // Drops the unfinished temporary file (the target stays as it was) and the pending hash.
    void DiscardFile();
    // Renames over an existing file in one step (platform file).
    static bool ReplaceFile(const QString& _qstrFrom, const QString& _qstrTo);

    QNetworkAccessManager m_networkManager;
    QPointer<QNetworkReply> m_pReply;
    // The temporary file while a transfer runs.
    std::unique_ptr<QFile> m_pFile;
    QString m_qstrFilePath;
    // The file the temporary file will replace: the target, or what a symbolic link there names.
    QString m_qstrFinalPath;
    QUrl m_urlCurrent;
    QElapsedTimer m_timerElapsed;
    QString m_qstrId;
    QString m_qstrMd5;
    std::atomic<bool> m_blFinished{false};
    State m_state = State::Idle;
    // Only while an MD5 is expected: hashes the body as it is written.
    std::unique_ptr<Md5Stream> m_pMd5;
    qint64 m_nWritten = 0;
    QTimer m_timerStall;
    int m_nStallSeconds = 60;
};
