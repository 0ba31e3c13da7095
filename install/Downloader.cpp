#include "install/Downloader.h"

#include "core/Config.h"
#include "core/FillPlaceholders.h"
#include "core/Logger.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMetaEnum>
#include <QRandomGenerator>
#include <QNetworkRequest>

namespace {

const char* const kStageNet = QT_TRANSLATE_NOOP("Downloader", "DOWNLOAD_FAILED_CHECK_NET");
const char* const kStageMd5 = QT_TRANSLATE_NOOP("Downloader", "MD5_FAILED_CONTACT_US");

bool IsHttpScheme(const QString& _qstrScheme)
{
    return _qstrScheme == QLatin1String("http") || _qstrScheme == QLatin1String("https");
}

QString ErrorName(QNetworkReply::NetworkError _code)
{
    const char* name = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(_code);
    return name ? QString::fromLatin1(name) : QString::number(_code);
}

} // namespace

Downloader::Downloader(QObject* _pParent) : QObject(_pParent), m_networkManager(this)
{
    connect(&m_networkManager, &QNetworkAccessManager::finished, this, &Downloader::slotReplyFinished);
    m_timerStall.setSingleShot(true);
    connect(&m_timerStall, &QTimer::timeout, this, &Downloader::slotStalled);
}

Downloader::~Downloader()
{
    stopDownload();
    m_timerStall.stop();
    DisconnectReply();
    DiscardFile();
}

bool Downloader::IsRedirectAllowed(const QUrl& _urlFrom, const QUrl& _urlTo)
{
    if (!_urlTo.isValid() || !IsHttpScheme(_urlTo.scheme()))
        return false;
    return !(_urlFrom.scheme() == QLatin1String("https") && _urlTo.scheme() == QLatin1String("http"));
}

QString Downloader::ErrorText(const char* _szStage, const QString& _qstrDetail)
{
    return tr(_szStage) + QLatin1Char('|') + _qstrDetail;
}

void Downloader::Report(const QString& _qstrErrorInfo)
{
    qWarning().noquote() << "Downloader::signErrorOccurred:" + _qstrErrorInfo + " id:" + m_qstrId;
    emit signErrorOccurred(_qstrErrorInfo, m_qstrId);
}

void Downloader::downloadFile(const QUrl& _url, const QString& _qstrFilePath, const QString& _qstrMd5,
                              const QString& _qstrId)
{
    qWarning().noquote() << "downloadFile:" + _url.toString() + " to:" + _qstrFilePath + " MD5:" + _qstrMd5 +
                                " id:" + _qstrId;
    if (m_state == State::Running) {
        qCritical().noquote() << "Downloader::downloadFile:a download is already running, id:" + m_qstrId;
        return;
    }
    // A reply of an earlier, failed download may still be attached.
    DisconnectReply();
    DiscardFile();
    m_qstrId = _qstrId;
    m_qstrMd5 = _qstrMd5;
    m_qstrFilePath = _qstrFilePath;
    m_blFinished = false;
    m_nWritten = 0;
    m_state = State::Done;

    // Anything but http(s) (file:, qrc:, data:, ftp:) would let a client copy local files around.
    if (!_url.isValid() || !IsHttpScheme(_url.scheme())) {
        Report(ErrorText(
            kStageNet,
            FillPlaceholders(tr("NET_WORDK_ERROR"), QString::number(QNetworkReply::ProtocolUnknownError),
                             QStringLiteral("Protocol \"%1\" is not supported").arg(_url.scheme()))));
        return;
    }

    // The target is prepared before anything is requested: a download that has nowhere to go
    // must not run on and report success later.
    const QFileInfo target(_qstrFilePath);
    if (!target.exists()) {
        const QString folder = target.absolutePath();
        if (!QDir().mkpath(folder)) {
            qCritical().noquote() << "Downloader::downloadFile:create path failed:" + folder;
            Report(ErrorText(kStageNet, FillPlaceholders(tr("CREATE_PATH_FAILED"), folder)));
            return;
        }
    }
    if (!m_qstrMd5.isEmpty()) {
        m_pMd5 = std::make_unique<Md5Stream>();
        // Posted events die with this object, so the hashing thread may post at any time.
        m_pMd5->SetSpaceCallback(
            [this] { QMetaObject::invokeMethod(this, &Downloader::slotReadyRead, Qt::QueuedConnection); });
    }
    if (_qstrFilePath.isEmpty() || !OpenTempFile()) {
        DiscardFile();
        Report(ErrorText(kStageNet, FillPlaceholders(tr("OPEN_FILE_FAILED"), _qstrFilePath)));
        return;
    }

    m_urlCurrent = _url;
    QNetworkRequest request(_url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    m_pReply = m_networkManager.get(request);
    if (!m_pReply) {
        DiscardFile();
        Report(ErrorText(kStageNet, FillPlaceholders(tr("NO_REPLY"), _url.toString())));
        return;
    }
    m_state = State::Running;
    m_pReply->setReadBufferSize(kReadBufferBytes);
    m_timerElapsed.start();
    connect(this, &Downloader::signCancelDownload, m_pReply.data(), &QNetworkReply::abort);
    connect(m_pReply.data(), &QNetworkReply::downloadProgress, this, &Downloader::slotDownloadProgress);
    connect(m_pReply.data(), &QNetworkReply::readyRead, this, &Downloader::slotReadyRead);
    connect(m_pReply.data(), &QNetworkReply::errorOccurred, this, &Downloader::slotErrorOccurred);
    connect(m_pReply.data(), &QNetworkReply::redirected, this, &Downloader::slotRedirected);
    m_nStallSeconds = Config::Instance().GetDownloadStallSeconds();
    m_timerStall.start(m_nStallSeconds * 1000);
}

void Downloader::stopDownload()
{
    QPointer<Downloader> guard(this);
    if (m_state == State::Running) {
        m_state = State::Done;
        m_timerStall.stop();
        const QString text = ErrorText(kStageNet, tr("USER_STOPED"));
        qWarning().noquote() << "Downloader::stopDownload:" + text + " id:" + m_qstrId;
        emit signErrorOccurred(text, m_qstrId);
        if (!guard)
            return;
    }
    // The abort makes the reply report the cancellation, which discards the partial file.
    emit signCancelDownload();
}

void Downloader::slotReadyRead()
{
    if (!m_pReply || !m_pFile || m_state != State::Running)
        return;
    m_timerStall.start();
    // While the hash lags behind, the body waits in the reply's bounded buffer and TCP slows the
    // sender; the hash asks for more once it has caught up.
    if (m_pMd5 && m_pMd5->Full())
        return;
    WriteChunk(m_pReply->readAll());
}

bool Downloader::WriteChunk(const QByteArray& _baData)
{
    if (_baData.isEmpty())
        return true;
    const qint64 written = m_pFile->write(_baData);
    if (written != _baData.size()) {
        qCritical().noquote() << "Downloader::WriteChunk:write failed:" + m_qstrFilePath + ":" +
                                     m_pFile->errorString();
        const qint64 total = m_nWritten + qMax<qint64>(written, 0);
        Fail(ErrorText(kStageNet, FillPlaceholders(tr("WRITE_FILE_FAILED"),
                                                   m_pReply ? m_pReply->url().toString() : QString(),
                                                   m_qstrFilePath, QString::number(total))));
        return false;
    }
    // Hashing what was written spares reading the file again for the MD5 check.
    if (m_pMd5)
        m_pMd5->Add(_baData);
    m_nWritten += written;
    return true;
}

void Downloader::slotDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (m_state != State::Running)
        return;
    m_timerStall.start();
    if (m_pReply && Logger::IsWritten(QtDebugMsg)) {
        qDebug() << "reply info begin:";
        for (const QNetworkReply::RawHeaderPair& header : m_pReply->rawHeaderPairs())
            qDebug().noquote() << QString::fromLatin1(header.first + ':' + header.second);
        qDebug() << "reply info end.";
    }
    // An unknown (-1) or empty total has no percentage; the log keeps a finite number.
    const float percent = bytesTotal > 0 ? static_cast<float>(bytesReceived) * 100.0f / bytesTotal : 0.0f;
    qDebug().noquote()
        << QStringLiteral("Progress: %1/%2bytes, %%3").arg(bytesReceived).arg(bytesTotal).arg(percent);
    const qint64 elapsed = qMax<qint64>(m_timerElapsed.elapsed(), 1);
    qDebug().noquote() << QStringLiteral("Download speed: %1bytes/s").arg(bytesReceived / (elapsed / 1000.0));

    // Completion is announced only by signFinished, so the last byte is held back until then;
    // without an announced size any report may already hold every byte, so it is held back too.
    const bool mayBeComplete = bytesTotal <= 0 || bytesReceived == bytesTotal;
    const qint64 reported = (mayBeComplete && bytesReceived > 0) ? bytesReceived - 1 : bytesReceived;
    emit signProgress(reported, bytesTotal, m_qstrId);
}

void Downloader::slotErrorOccurred(QNetworkReply::NetworkError _code)
{
    m_state = State::Done;
    m_timerStall.stop();
    DiscardFile();
    const QString detail =
        m_pReply ? FillPlaceholders(tr("NET_WORDK_ERROR"), QString::number(_code), m_pReply->errorString())
                 : FillPlaceholders(tr("NET_WORDK_ERROR_WITHOUTINFO"), QString::number(_code));
    Report(ErrorText(kStageNet, detail));
}

void Downloader::slotRedirected(const QUrl& _url)
{
    if (!m_pReply || m_state != State::Running)
        return;
    m_timerStall.start();
    // The reply already carries the new URL here, so the hop is judged from the one we followed last.
    const QUrl from = m_urlCurrent;
    if (!IsRedirectAllowed(from, _url)) {
        qWarning().noquote() << "Downloader::slotRedirected:refused:" + from.toString() + " -> " +
                                    _url.toString();
        Fail(ErrorText(
            kStageNet,
            FillPlaceholders(
                tr("NET_WORDK_ERROR"), QString::number(QNetworkReply::InsecureRedirectError),
                QStringLiteral("Redirect from %1 to %2 refused").arg(from.toString(), _url.toString()))));
        return;
    }
    qWarning().noquote() << "Downloader::slotRedirected:" + from.toString() + " -> " + _url.toString();
    m_urlCurrent = _url;
    emit m_pReply->redirectAllowed();
}

void Downloader::slotStalled()
{
    if (m_state != State::Running)
        return;
    Fail(ErrorText(kStageNet,
                   FillPlaceholders(tr("NET_WORDK_ERROR"), QString::number(QNetworkReply::TimeoutError),
                                    QStringLiteral("No data received for %1 s").arg(m_nStallSeconds))));
}

void Downloader::slotReplyFinished(QNetworkReply* _pReply)
{
    if (_pReply != m_pReply) {
        // A reply we already cut loose (refused redirect, stall, failed write).
        _pReply->deleteLater();
        return;
    }
    const QNetworkReply::NetworkError code = _pReply->error();
    qWarning().noquote() << "slotReplyFinished:" + ErrorName(code) + " :" + _pReply->errorString();
    if (code != QNetworkReply::NoError) {
        // The error signal has already reported this once; the finished reply reports it again.
        m_state = State::Done;
        m_timerStall.stop();
        DiscardFile();
        Report(ErrorText(kStageNet, FillPlaceholders(tr("NET_WORDK_ERROR"), QString::number(code),
                                                     _pReply->errorString())));
        return;
    }
    if (m_state != State::Running || !m_pFile)
        return;

    // A 3xx that was not followed (no usable Location, 304, ...) carries no file.
    const int status = _pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299) {
        const QString reason = _pReply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        Fail(ErrorText(
            kStageNet,
            FillPlaceholders(tr("NET_WORDK_ERROR"), QString::number(QNetworkReply::ProtocolFailure),
                             QStringLiteral("HTTP status %1 %2").arg(status).arg(reason).trimmed())));
        return;
    }
    if (!WriteChunk(_pReply->readAll()))
        return;
    if (!CommitFile()) {
        Fail(ErrorText(kStageNet, FillPlaceholders(tr("WRITE_FILE_FAILED"), _pReply->url().toString(),
                                                   m_qstrFilePath, QString::number(m_nWritten))));
        return;
    }
    m_timerStall.stop();
    m_state = State::Done;

    const qint64 elapsed = m_timerElapsed.elapsed();
    qWarning() << "Download finished.";
    qWarning().noquote() << QStringLiteral("Elapsed time: %1ms").arg(elapsed);
    qWarning().noquote()
        << QStringLiteral("Download speed: %1bytes/s").arg(m_nWritten / (qMax<qint64>(elapsed, 1) / 1000.0));
    DisconnectReply();

    m_blFinished = true;
    if (m_qstrMd5.isEmpty() || !m_pMd5) {
        CheckDigest(QString());
        return;
    }
    // What is left to hash is hashed on the stream's thread; this thread only hears the digest.
    m_pMd5->Finish([this](const QString& _qstrDigest) {
        QMetaObject::invokeMethod(
            this, [this, _qstrDigest] { CheckDigest(_qstrDigest); }, Qt::QueuedConnection);
    });
}

void Downloader::CheckDigest(const QString& _qstrComputed)
{
    m_pMd5.reset();
    if (!m_qstrMd5.isEmpty() && _qstrComputed.compare(m_qstrMd5, Qt::CaseInsensitive) != 0) {
        Report(ErrorText(kStageMd5,
                         FillPlaceholders(tr("CHECK_SUM_FAILED"), m_qstrFilePath, _qstrComputed, m_qstrMd5)));
        return;
    }
    qWarning().noquote() << "Downloader::signFinished:" + m_qstrId;
    emit signFinished(m_qstrId);
}

void Downloader::Fail(const QString& _qstrErrorInfo)
{
    m_state = State::Done;
    m_timerStall.stop();
    DiscardFile();
    DisconnectReply();
    Report(_qstrErrorInfo);
}

void Downloader::DisconnectReply()
{
    QNetworkReply* reply = m_pReply.data();
    m_pReply = nullptr;
    if (!reply)
        return;
    disconnect(this, &Downloader::signCancelDownload, reply, nullptr);
    disconnect(reply, nullptr, this, nullptr);
    // Aborting a finished reply does nothing; a running one finishes now and is ignored.
    reply->abort();
    reply->deleteLater();
}

bool Downloader::OpenTempFile()
{
    // A link at the target is replaced, never written through: whoever planted it (in a shared
    // folder, say) would otherwise choose which of the user's files the download overwrites.
    m_qstrFinalPath = QFileInfo(m_qstrFilePath).absoluteFilePath();
    const QFileInfo finalInfo(m_qstrFinalPath);
    if ((finalInfo.isDir() && !finalInfo.isSymLink()) ||
        (finalInfo.exists() && !finalInfo.isSymLink() && !finalInfo.isWritable())) {
        qWarning().noquote() << "Downloader::OpenTempFile:target is a folder or not writable:" +
                                    m_qstrFinalPath;
        return false;
    }
    // Beside the target, so that the final rename stays on one file system.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString name = finalInfo.absolutePath() + QStringLiteral("/.") + finalInfo.fileName() +
                             QLatin1Char('.') + QString::number(QRandomGenerator::global()->generate(), 16) +
                             QStringLiteral(".part");
        m_pFile = std::make_unique<QFile>(name);
        if (m_pFile->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            if (finalInfo.exists() && !finalInfo.isSymLink())
                m_pFile->setPermissions(finalInfo.permissions());
            return true;
        }
        qWarning().noquote() << "Downloader::OpenTempFile:open failed:" + name + ":" + m_pFile->errorString();
        const bool taken = QFileInfo::exists(name);
        m_pFile.reset();
        if (!taken)
            return false;
    }
    return false;
}

bool Downloader::CommitFile()
{
    const QString temp = m_pFile->fileName();
    m_pFile->close();
    const bool closed = m_pFile->error() == QFileDevice::NoError;
    m_pFile.reset();
    // No fsync: the file is as durable as one written in place, and syncing 512 MiB costs more
    // than the whole MD5 check.
    if (!closed || !ReplaceFile(temp, m_qstrFinalPath)) {
        qCritical().noquote() << "Downloader::CommitFile:failed:" + temp + " -> " + m_qstrFinalPath;
        QFile::remove(temp);
        return false;
    }
    return true;
}

void Downloader::DiscardFile()
{
    if (m_pFile) {
        const QString temp = m_pFile->fileName();
        m_pFile->close();
        m_pFile.reset();
        QFile::remove(temp);
    }
    m_pMd5.reset();
}
