#pragma once

#include "install/DigestStream.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>

// The checks on a downloaded file: its MD5 when one is expected and, when a public key is set,
// a vendor's signature over its SHA-512. Both digests are computed on their own threads while
// the body is written, side by side, so the checks cost the download no time where a core is
// free. Failure texts are whole report texts ("STAGE|detail") in the Downloader's words.
class DownloadDigests
{
public:
    // Posts to _pOwner's thread; what is posted dies with it.
    explicit DownloadDigests(QObject* _pOwner) : m_pOwner(_pOwner) {}
    DownloadDigests(const DownloadDigests&) = delete;
    DownloadDigests& operator=(const DownloadDigests&) = delete;

    // For the downloads that follow: an empty key checks no signature.
    void RequireSignature(const QString& _qstrPublicKey, const QString& _qstrSignature);
    // Empty when the key and the signature can be valid (or none is required); else the failure.
    QString CheckForm() const;

    // New streams for a transfer from byte 0; the MD5 one only with _qstrMd5 set. _fnSpace runs on
    // the owner's thread once a stream that was full has room again.
    void Start(const QString& _qstrMd5, const std::function<void()>& _fnSpace);
    void Add(const QByteArray& _baData);
    // True while a stream lags behind; each full one calls back once it has room.
    bool Full();
    // Drops the streams and what they hold.
    void Reset();
    // Ends the input: each running stream hands its digest over, then _fnChecked runs on the
    // owner's thread with the failure text, empty when the file passed.
    void Finish(const QString& _qstrFilePath, std::function<void(const QString&)> _fnChecked);

private:
    void DigestReady();
    QString Check() const;

    QObject* m_pOwner;
    QString m_qstrMd5;
    QString m_qstrPublicKey;
    QString m_qstrSignature;
    QString m_qstrFilePath;
    std::function<void(const QString&)> m_fnChecked;
    // Guards the digests the streams' threads store; declared first, so it outlives the streams.
    std::mutex m_mutexDigests;
    std::unique_ptr<DigestStream> m_pMd5;
    std::unique_ptr<DigestStream> m_pSha512;
    QByteArray m_baMd5;
    QByteArray m_baSha512;
    int m_nPending = 0;
};
