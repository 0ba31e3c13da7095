#include "install/Downloader.h"
#include "core/LogCategories.h"

#include "core/ClientPath.h"
#include "core/Config.h"
#include "core/FillPlaceholders.h"
#include "core/Logger.h"

#include <QDebug>
#include <QDir>
#include <QMetaEnum>
#include <QNetworkRequest>

namespace {

const char* const kStageNet = QT_TRANSLATE_NOOP("Downloader", "DOWNLOAD_FAILED_CHECK_NET");

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

const QVector<int> Downloader::kRetryWaitsMs{1000, 2000, 4000, 8000, 16000};

Downloader::Downloader(QObject* _pParent) : QObject(_pParent), m_networkManager(this), m_digests(this)
{
    m_resume.SetRetryWaits(kRetryWaitsMs);
    connect(&m_networkManager, &QNetworkAccessManager::finished, this, &Downloader::slotReplyFinished);
    m_timerStall.setSingleShot(true);
    connect(&m_timerStall, &QTimer::timeout, this, &Downloader::slotStalled);
    m_timerRetry.setSingleShot(true);
    connect(&m_timerRetry, &QTimer::timeout, this, &Downloader::slotRetry);
}

Downloader::~Downloader()
{
    stopDownload();
    m_timerStall.stop();
    m_timerRetry.stop();
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
    qCWarning(lcInstall).noquote() << "Downloader::signErrorOccurred:" + _qstrErrorInfo + " id:" + m_qstrId;
    emit signErrorOccurred(_qstrErrorInfo, m_qstrId);
}

void Downloader::downloadFile(const QUrl& _url, const QString& _qstrFilePath, const QString& _qstrMd5,
                              const QString& _qstrId)
{
    qCWarning(lcInstall).noquote() << "downloadFile:" + _url.toString() + " to:" + _qstrFilePath +
                                          " MD5:" + _qstrMd5 + " id:" + _qstrId;
    if (m_state == State::Running) {
        qCCritical(lcInstall).noquote()
            << "Downloader::downloadFile:a download is already running, id:" + m_qstrId;
        return;
    }
    // A reply of an earlier, failed download may still be attached.
    DisconnectReply();
    DiscardFile();
    m_qstrId = _qstrId;
    m_qstrMd5 = _qstrMd5;
    m_qstrFilePath = _qstrFilePath;
    m_blFinished = false;
    m_resume.Reset();
    m_nReported = -1;
    m_timerRetry.stop();
    m_state = State::Done;

    // Anything but http(s) (file:, qrc:, data:, ftp:) would let a client copy local files around.
    if (!_url.isValid() || !IsHttpScheme(_url.scheme())) {
        Report(ErrorText(
            kStageNet,
            FillPlaceholders(tr("NET_WORDK_ERROR"), QString::number(QNetworkReply::ProtocolUnknownError),
                             QStringLiteral("Protocol \"%1\" is not supported").arg(_url.scheme()))));
        return;
    }

    // A package that cannot carry a valid signature is not fetched at all.
    const QString form = m_digests.CheckForm();
    if (!form.isEmpty()) {
        Report(form);
        return;
    }

    // The target's folder is checked (and made) before anything is requested: a download that has
    // nowhere safe to go must not run on and report success later.
    const Result<> folder = m_file.OpenFolder(_qstrFilePath);
    if (!folder) {
        qCCritical(lcInstall).noquote() << "Downloader::downloadFile:create path failed:" + folder.Error();
        Report(ErrorText(kStageNet, FillPlaceholders(tr("CREATE_PATH_FAILED"), folder.Error())));
        return;
    }
    StartDigests();
    if (!m_file.Open()) {
        DiscardFile();
        Report(ErrorText(kStageNet, FillPlaceholders(tr("OPEN_FILE_FAILED"), _qstrFilePath)));
        return;
    }

    m_urlRequested = _url;
    m_nStallSeconds = Config::Instance().GetDownloadStallSeconds();
    if (!StartRequest()) {
        DiscardFile();
        Report(ErrorText(kStageNet, FillPlaceholders(tr("NO_REPLY"), _url.toString())));
        return;
    }
    m_state = State::Running;
    m_timerElapsed.start();
}

void Downloader::RequireSignature(const QString& _qstrPublicKey, const QString& _qstrSignature)
{
    m_digests.RequireSignature(_qstrPublicKey, _qstrSignature);
}

void Downloader::StartDigests()
{
    m_digests.Start(m_qstrMd5, [this] { slotReadyRead(); });
}

bool Downloader::StartRequest()
{
    m_urlCurrent = m_urlRequested;
    QNetworkRequest request(m_urlRequested);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    // The bytes as stored: offsets of a range are offsets into the file only without a transfer
    // encoding that the network library would undo.
    request.setRawHeader("Accept-Encoding", "identity");
    m_resume.Prepare(request, m_file.Size());
    m_eAccept = Accept::Wait;
    m_pReply = m_networkManager.get(request);
    if (!m_pReply)
        return false;
    m_pReply->setReadBufferSize(kReadBufferBytes);
    connect(this, &Downloader::signCancelDownload, m_pReply.data(), &QNetworkReply::abort);
    connect(m_pReply.data(), &QNetworkReply::downloadProgress, this, &Downloader::slotDownloadProgress);
    connect(m_pReply.data(), &QNetworkReply::readyRead, this, &Downloader::slotReadyRead);
    connect(m_pReply.data(), &QNetworkReply::errorOccurred, this, &Downloader::slotErrorOccurred);
    connect(m_pReply.data(), &QNetworkReply::redirected, this, &Downloader::slotRedirected);
    m_timerStall.start(m_nStallSeconds * 1000);
    return true;
}

Downloader::Accept Downloader::AcceptReply()
{
    if (m_eAccept != Accept::Wait || !m_pReply)
        return m_eAccept;
    const QVariant statusValue = m_pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!statusValue.isValid())
        return Accept::Wait;
    const int status = statusValue.toInt();
    const QByteArray range = m_pReply->rawHeader("Content-Range");
    switch (m_resume.Judge(status, range, m_file.Size())) {
    case RangeResume::Verdict::Wait:
        return Accept::Wait;
    case RangeResume::Verdict::Drop:
        return m_eAccept = Accept::Drop;
    case RangeResume::Verdict::Broken:
        Fail(ErrorText(
            kStageNet,
            FillPlaceholders(
                tr("NET_WORDK_ERROR"), QString::number(QNetworkReply::ProtocolFailure),
                QStringLiteral(
                    "HTTP status %1 with Content-Range \"%2\" does not continue the file at %3 bytes")
                    .arg(status)
                    .arg(QString::fromLatin1(range))
                    .arg(m_file.Size()))));
        return m_eAccept = Accept::Failed;
    case RangeResume::Verdict::Continues:
        qCWarning(lcInstall).noquote()
            << QStringLiteral("Downloader::AcceptRange:continuing at %1 of %2 bytes, id:")
                       .arg(m_file.Size())
                       .arg(m_resume.Total()) +
                   m_qstrId;
        return m_eAccept = Accept::Write;
    case RangeResume::Verdict::StartOver:
        qCWarning(lcInstall).noquote()
            << QStringLiteral("Downloader::AcceptReply:HTTP 200 to a range from %1: starting over, id:")
                       .arg(m_file.Size()) +
                   m_qstrId;
        if (!StartOver())
            return m_eAccept = Accept::Failed;
        break;
    case RangeResume::Verdict::Whole:
        break;
    }
    m_resume.AdoptWhole(*m_pReply);
    return m_eAccept = Accept::Write;
}

bool Downloader::StartOver()
{
    m_resume.StartOver();
    if (!m_file.Restart()) {
        qCCritical(lcInstall).noquote() << "Downloader::StartOver:cannot empty the file for " +
                                               m_qstrFilePath + ":" + m_file.ErrorString();
        Fail(ErrorText(kStageNet, FillPlaceholders(tr("WRITE_FILE_FAILED"), m_urlRequested.toString(),
                                                   m_qstrFilePath, QString::number(m_file.Size()))));
        return false;
    }
    StartDigests();
    return true;
}

bool Downloader::RetryAfterCut(QNetworkReply::NetworkError _code)
{
    if (m_state != State::Running || !m_file.IsOpen() || !RangeResume::IsRetryable(_code))
        return false;
    // What arrived before the cut goes into the file first: the next range starts after it.
    if (m_pReply && AcceptReply() == Accept::Write && !WriteAvailable(m_pReply, false))
        return true;
    if (m_state != State::Running)
        return true;
    const std::optional<int> wait = m_resume.TakeRetry();
    if (!wait)
        return false;
    qCWarning(lcInstall).noquote()
        << QStringLiteral("Downloader::RetryAfterCut:%1 at %2 of %3 bytes; retry %4 of %5 in %6 ms, id:")
                   .arg(ErrorName(_code))
                   .arg(m_file.Size())
                   .arg(m_resume.Total())
                   .arg(m_resume.RetriesUsed())
                   .arg(m_resume.RetryWaits().size())
                   .arg(*wait) +
               m_qstrId;
    m_timerStall.stop();
    DisconnectReply();
    m_timerRetry.start(*wait);
    return true;
}

void Downloader::slotRetry()
{
    if (m_state != State::Running || !m_file.IsOpen() || m_pReply)
        return;
    if (!StartRequest())
        Fail(ErrorText(kStageNet, FillPlaceholders(tr("NO_REPLY"), m_urlRequested.toString())));
}

void Downloader::stopDownload()
{
    QPointer<Downloader> guard(this);
    if (m_state == State::Running) {
        m_state = State::Done;
        m_timerStall.stop();
        const QString text = ErrorText(kStageNet, tr("USER_STOPED"));
        qCWarning(lcInstall).noquote() << "Downloader::stopDownload:" + text + " id:" + m_qstrId;
        emit signErrorOccurred(text, m_qstrId);
        if (!guard)
            return;
        // Waiting for a retry there is no reply whose cancellation would discard the file.
        if (m_timerRetry.isActive() || !m_pReply) {
            m_timerRetry.stop();
            DiscardFile();
        }
    }
    // The abort makes the reply report the cancellation, which discards the partial file.
    emit signCancelDownload();
}

void Downloader::slotReadyRead()
{
    if (!m_pReply || !m_file.IsOpen() || m_state != State::Running)
        return;
    m_timerStall.start();
    const Accept accept = AcceptReply();
    if (accept == Accept::Drop) {
        // An error page: the network library reports the status; its body is nobody's file.
        m_pReply->readAll();
        return;
    }
    if (accept != Accept::Write)
        return;
    // While a hash lags behind, the body waits in the reply's bounded buffer and TCP slows the
    // sender; the hash asks for more once it has caught up.
    WriteAvailable(m_pReply, true);
}

bool Downloader::WriteAvailable(QNetworkReply* _pReply, bool _blHoldForDigests)
{
    while (_pReply->bytesAvailable() > 0) {
        if (_blHoldForDigests && m_digests.Full())
            return true;
        if (!WriteChunk(_pReply->read(kWriteChunkBytes)))
            return false;
    }
    return true;
}

bool Downloader::WriteChunk(const QByteArray& _baData)
{
    if (_baData.isEmpty())
        return true;
    const qint64 before = m_file.Size();
    const qint64 written = m_file.Write(_baData);
    if (written != _baData.size()) {
        qCCritical(lcInstall).noquote()
            << "Downloader::WriteChunk:write failed:" + m_qstrFilePath + ":" + m_file.ErrorString();
        const qint64 total = before + qMax<qint64>(written, 0);
        Fail(ErrorText(kStageNet, FillPlaceholders(tr("WRITE_FILE_FAILED"),
                                                   m_pReply ? m_pReply->url().toString() : QString(),
                                                   m_qstrFilePath, QString::number(total))));
        return false;
    }
    // Hashing what was written spares reading the file again for the checks.
    m_digests.Add(_baData);
    m_resume.NoteBytesArrived();
    return true;
}

void Downloader::slotDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (m_state != State::Running)
        return;
    m_timerStall.start();
    if (m_pReply && Logger::IsWritten(QtDebugMsg)) {
        qCDebug(lcInstall) << "reply info begin:";
        for (const QNetworkReply::RawHeaderPair& header : m_pReply->rawHeaderPairs())
            qCDebug(lcInstall).noquote() << QString::fromLatin1(header.first + ':' + header.second);
        qCDebug(lcInstall) << "reply info end.";
    }
    // Counted over the whole file: a reply that continues it starts where the file ends.
    if (AcceptReply() != Accept::Write)
        return;
    bytesReceived += m_resume.ReplyStart();
    if (m_resume.Total() >= 0)
        bytesTotal = m_resume.Total();
    else if (bytesTotal > 0)
        bytesTotal += m_resume.ReplyStart();
    // An unknown (-1) or empty total has no percentage; the log keeps a finite number.
    const float percent = bytesTotal > 0 ? static_cast<float>(bytesReceived) * 100.0f / bytesTotal : 0.0f;
    qCDebug(lcInstall).noquote()
        << QStringLiteral("Progress: %1/%2bytes, %%3").arg(bytesReceived).arg(bytesTotal).arg(percent);
    const qint64 elapsed = qMax<qint64>(m_timerElapsed.elapsed(), 1);
    qCDebug(lcInstall).noquote()
        << QStringLiteral("Download speed: %1bytes/s").arg(bytesReceived / (elapsed / 1000.0));

    // Completion is announced only by signFinished, so the last byte is held back until then;
    // without an announced size any report may already hold every byte, so it is held back too.
    const bool mayBeComplete = bytesTotal <= 0 || bytesReceived == bytesTotal;
    const qint64 reported = (mayBeComplete && bytesReceived > 0) ? bytesReceived - 1 : bytesReceived;
    // After a start over the bytes already reported come again: they are not reported twice.
    if (reported <= m_nReported)
        return;
    m_nReported = reported;
    emit signProgress(reported, bytesTotal, m_qstrId);
}

void Downloader::slotErrorOccurred(QNetworkReply::NetworkError _code)
{
    if (RetryAfterCut(_code))
        return;
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
        qCWarning(lcInstall).noquote()
            << "Downloader::slotRedirected:refused:" + from.toString() + " -> " + _url.toString();
        Fail(ErrorText(
            kStageNet,
            FillPlaceholders(
                tr("NET_WORDK_ERROR"), QString::number(QNetworkReply::InsecureRedirectError),
                QStringLiteral("Redirect from %1 to %2 refused").arg(from.toString(), _url.toString()))));
        return;
    }
    qCWarning(lcInstall).noquote() << "Downloader::slotRedirected:" + from.toString() + " -> " +
                                          _url.toString();
    m_urlCurrent = _url;
    emit m_pReply->redirectAllowed();
}

void Downloader::slotStalled()
{
    if (m_state != State::Running || RetryAfterCut(QNetworkReply::TimeoutError))
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
    qCWarning(lcInstall).noquote() << "slotReplyFinished:" + ErrorName(code) + " :" + _pReply->errorString();
    if (code != QNetworkReply::NoError) {
        if (RetryAfterCut(code))
            return;
        // The error signal has already reported this once; the finished reply reports it again.
        m_state = State::Done;
        m_timerStall.stop();
        DiscardFile();
        Report(ErrorText(kStageNet, FillPlaceholders(tr("NET_WORDK_ERROR"), QString::number(code),
                                                     _pReply->errorString())));
        return;
    }
    if (m_state != State::Running || !m_file.IsOpen())
        return;

    // A 3xx that was not followed (no usable Location, 304, ...) carries no file.
    const Accept accept = AcceptReply();
    if (accept == Accept::Failed)
        return;
    const int status = _pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (accept != Accept::Write) {
        const QString reason = _pReply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        Fail(ErrorText(
            kStageNet,
            FillPlaceholders(tr("NET_WORDK_ERROR"), QString::number(QNetworkReply::ProtocolFailure),
                             QStringLiteral("HTTP status %1 %2").arg(status).arg(reason).trimmed())));
        return;
    }
    if (!WriteAvailable(_pReply, false))
        return;
    // The connection ended before the declared length without an error of its own.
    if (m_resume.Total() >= 0 && m_file.Size() < m_resume.Total()) {
        if (RetryAfterCut(QNetworkReply::RemoteHostClosedError))
            return;
        Fail(ErrorText(kStageNet, FillPlaceholders(tr("NET_WORDK_ERROR"),
                                                   QString::number(QNetworkReply::RemoteHostClosedError),
                                                   QStringLiteral("Connection closed at %1 of %2 bytes")
                                                       .arg(m_file.Size())
                                                       .arg(m_resume.Total()))));
        return;
    }
    const qint64 written = m_file.Size();
    if (!m_file.Commit()) {
        Fail(ErrorText(kStageNet, FillPlaceholders(tr("WRITE_FILE_FAILED"), _pReply->url().toString(),
                                                   m_qstrFilePath, QString::number(written))));
        return;
    }
    m_timerStall.stop();
    m_state = State::Done;

    const qint64 elapsed = m_timerElapsed.elapsed();
    qCWarning(lcInstall) << "Download finished.";
    qCWarning(lcInstall).noquote() << QStringLiteral("Elapsed time: %1ms").arg(elapsed);
    qCWarning(lcInstall).noquote()
        << QStringLiteral("Download speed: %1bytes/s").arg(written / (qMax<qint64>(elapsed, 1) / 1000.0));
    DisconnectReply();

    m_blFinished = true;
    FinishDigests();
}

void Downloader::FinishDigests()
{
    m_digests.Finish(m_qstrFilePath, [this](const QString& _qstrFailure) {
        if (!_qstrFailure.isEmpty()) {
            Report(_qstrFailure);
            return;
        }
        qCWarning(lcInstall).noquote() << "Downloader::signFinished:" + m_qstrId;
        emit signFinished(m_qstrId);
    });
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

void Downloader::DiscardFile()
{
    m_file.Discard();
    m_digests.Reset();
}
