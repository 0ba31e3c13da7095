#include "install/Downloader.h"
#include "core/LogCategories.h"

#include "core/ClientPath.h"
#include "core/Config.h"
#include "core/FillPlaceholders.h"
#include "core/Logger.h"
#include "install/PackageSignature.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMetaEnum>
#include <QNetworkRequest>

namespace {

const char* const kStageNet = QT_TRANSLATE_NOOP("Downloader", "DOWNLOAD_FAILED_CHECK_NET");
const char* const kStageMd5 = QT_TRANSLATE_NOOP("Downloader", "MD5_FAILED_CONTACT_US");
const char* const kStageSignature = QT_TRANSLATE_NOOP("Downloader", "SIGNATURE_FAILED_CONTACT_US");

bool IsHttpScheme(const QString& _qstrScheme)
{
    return _qstrScheme == QLatin1String("http") || _qstrScheme == QLatin1String("https");
}

QString ErrorName(QNetworkReply::NetworkError _code)
{
    const char* name = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(_code);
    return name ? QString::fromLatin1(name) : QString::number(_code);
}

// The detail text of a failed signature check (translated in the Downloader context).
const char* SignatureDetail(PackageSignature::Verdict _verdict)
{
    switch (_verdict) {
    case PackageSignature::Verdict::KeyInvalid:
        return QT_TRANSLATE_NOOP("Downloader", "PUBLIC_KEY_INVALID");
    case PackageSignature::Verdict::SignatureMissing:
        return QT_TRANSLATE_NOOP("Downloader", "SIGNATURE_MISSING");
    case PackageSignature::Verdict::SignatureNotBase64:
        return QT_TRANSLATE_NOOP("Downloader", "SIGNATURE_NOT_BASE64");
    default:
        return QT_TRANSLATE_NOOP("Downloader", "SIGNATURE_MISMATCH");
    }
}

// "bytes FIRST-LAST/TOTAL" (TOTAL may be "*", then -1); false when it is not of that form.
bool ParseContentRange(const QByteArray& _baValue, qint64& _nFirst, qint64& _nLast, qint64& _nTotal)
{
    const QByteArray value = _baValue.trimmed();
    if (!value.startsWith("bytes "))
        return false;
    const QByteArray spec = value.mid(6).trimmed();
    const int dash = spec.indexOf('-');
    const int slash = spec.indexOf('/');
    if (dash <= 0 || slash <= dash + 1)
        return false;
    bool okFirst = false;
    bool okLast = false;
    bool okTotal = true;
    _nFirst = spec.left(dash).toLongLong(&okFirst);
    _nLast = spec.mid(dash + 1, slash - dash - 1).toLongLong(&okLast);
    const QByteArray total = spec.mid(slash + 1);
    _nTotal = total == "*" ? -1 : total.toLongLong(&okTotal);
    return okFirst && okLast && okTotal && _nFirst >= 0 && _nLast >= _nFirst &&
           (_nTotal < 0 || _nLast < _nTotal);
}

} // namespace

const QVector<int> Downloader::kRetryWaitsMs{1000, 2000, 4000, 8000, 16000};

Downloader::Downloader(QObject* _pParent) : QObject(_pParent), m_networkManager(this)
{
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
    m_nWritten = 0;
    m_nTotal = -1;
    m_baValidator.clear();
    m_blBytesArrived = false;
    m_nRetries = 0;
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
    if (!m_qstrPublicKey.isEmpty()) {
        const PackageSignature::Verdict form = PackageSignature::CheckForm(m_qstrPublicKey, m_qstrSignature);
        if (form != PackageSignature::Verdict::Valid) {
            Report(ErrorText(kStageSignature, tr(SignatureDetail(form))));
            return;
        }
    }

    // The target's folder is checked (and made) before anything is requested: a download that has
    // nowhere safe to go must not run on and report success later.
    m_parent = ClientPath::OpenParent(_qstrFilePath, true);
    if (!m_parent.IsValid()) {
        qCCritical(lcInstall).noquote() << "Downloader::downloadFile:create path failed:" + m_parent.Error();
        Report(ErrorText(kStageNet, FillPlaceholders(tr("CREATE_PATH_FAILED"), m_parent.Error())));
        return;
    }
    StartDigests();
    if (!OpenTempFile()) {
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
    m_qstrPublicKey = _qstrPublicKey.trimmed();
    m_qstrSignature = _qstrSignature.trimmed();
}

void Downloader::StartDigests()
{
    m_pMd5.reset();
    m_pSha512.reset();
    // Posted events die with this object, so the hashing threads may post at any time.
    const auto space = [this] {
        QMetaObject::invokeMethod(this, &Downloader::slotReadyRead, Qt::QueuedConnection);
    };
    if (!m_qstrMd5.isEmpty()) {
        m_pMd5 = std::make_unique<DigestStream>(DigestStream::Algorithm::Md5);
        m_pMd5->SetSpaceCallback(space);
    }
    // Two streams hash on two threads side by side, so the signature costs the download no time
    // where a core is free.
    if (!m_qstrPublicKey.isEmpty()) {
        m_pSha512 = std::make_unique<DigestStream>(DigestStream::Algorithm::Sha512);
        m_pSha512->SetSpaceCallback(space);
    }
}

bool Downloader::DigestsFull()
{
    // Both are asked, so each one that is full calls back once it has room.
    const bool md5 = m_pMd5 && m_pMd5->Full();
    const bool sha512 = m_pSha512 && m_pSha512->Full();
    return md5 || sha512;
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
    m_blRangeAsked = m_nWritten > 0;
    m_nReplyStart = m_nWritten;
    m_eAccept = Accept::Wait;
    if (m_blRangeAsked) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_nWritten) + '-');
        // Without a validator the range is asked as `curl -C -` asks it; the answer must still
        // name the length the first response declared.
        if (!m_baValidator.isEmpty())
            request.setRawHeader("If-Range", m_baValidator);
    }
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
    // A redirect being followed; one that is not is failed when its reply finishes.
    if (status >= 300 && status <= 399)
        return Accept::Wait;
    if (m_blRangeAsked && (status == 206 || (status >= 200 && status <= 299 && status != 200)))
        return m_eAccept = AcceptRange();
    if (status < 200 || status > 299)
        return m_eAccept = Accept::Drop;
    if (m_blRangeAsked) {
        // The server sends the whole file (it ignores ranges, or the file changed since).
        qCWarning(lcInstall).noquote()
            << QStringLiteral("Downloader::AcceptReply:HTTP 200 to a range from %1: starting over, id:")
                       .arg(m_nWritten) +
                   m_qstrId;
        if (!StartOver())
            return m_eAccept = Accept::Failed;
    }
    bool known = false;
    const qint64 length = m_pReply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    m_nTotal = known && length >= 0 ? length : -1;
    // The version these bytes belong to: a weak ETag may not be used for a range.
    const QByteArray etag = m_pReply->rawHeader("ETag").trimmed();
    m_baValidator =
        !etag.isEmpty() && !etag.startsWith("W/") ? etag : m_pReply->rawHeader("Last-Modified").trimmed();
    return m_eAccept = Accept::Write;
}

Downloader::Accept Downloader::AcceptRange()
{
    const int status = m_pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray range = m_pReply->rawHeader("Content-Range");
    qint64 first = -1;
    qint64 last = -1;
    qint64 total = -1;
    const bool continues = status == 206 && ParseContentRange(range, first, last, total) &&
                           first == m_nWritten && (total < 0 || m_nTotal < 0 || total == m_nTotal);
    if (!continues) {
        Fail(ErrorText(
            kStageNet,
            FillPlaceholders(
                tr("NET_WORDK_ERROR"), QString::number(QNetworkReply::ProtocolFailure),
                QStringLiteral(
                    "HTTP status %1 with Content-Range \"%2\" does not continue the file at %3 bytes")
                    .arg(status)
                    .arg(QString::fromLatin1(range))
                    .arg(m_nWritten))));
        return Accept::Failed;
    }
    if (total >= 0)
        m_nTotal = total;
    qCWarning(lcInstall).noquote() << QStringLiteral(
                                          "Downloader::AcceptRange:continuing at %1 of %2 bytes, id:")
                                              .arg(m_nWritten)
                                              .arg(m_nTotal) +
                                          m_qstrId;
    return Accept::Write;
}

bool Downloader::StartOver()
{
    m_nReplyStart = 0;
    if (!m_pFile->resize(0) || !m_pFile->seek(0)) {
        qCCritical(lcInstall).noquote() << "Downloader::StartOver:cannot empty the file for " +
                                               m_qstrFilePath + ":" + m_pFile->errorString();
        Fail(ErrorText(kStageNet, FillPlaceholders(tr("WRITE_FILE_FAILED"), m_urlRequested.toString(),
                                                   m_qstrFilePath, QString::number(m_nWritten))));
        return false;
    }
    m_nWritten = 0;
    StartDigests();
    return true;
}

bool Downloader::IsRetryable(QNetworkReply::NetworkError _code)
{
    switch (_code) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
        return true;
    default:
        // A stop, TLS, redirects, HTTP statuses and protocol errors fail as they did.
        return false;
    }
}

bool Downloader::RetryAfterCut(QNetworkReply::NetworkError _code)
{
    if (m_state != State::Running || !m_pFile || !IsRetryable(_code))
        return false;
    // What arrived before the cut goes into the file first: the next range starts after it.
    if (m_pReply && AcceptReply() == Accept::Write && !WriteAvailable(m_pReply, false))
        return true;
    if (m_state != State::Running)
        return true;
    if (!m_blBytesArrived || m_nRetries >= m_vecRetryWaitsMs.size())
        return false;
    const int wait = qMax(0, m_vecRetryWaitsMs.at(m_nRetries++));
    qCWarning(lcInstall).noquote()
        << QStringLiteral("Downloader::RetryAfterCut:%1 at %2 of %3 bytes; retry %4 of %5 in %6 ms, id:")
                   .arg(ErrorName(_code))
                   .arg(m_nWritten)
                   .arg(m_nTotal)
                   .arg(m_nRetries)
                   .arg(m_vecRetryWaitsMs.size())
                   .arg(wait) +
               m_qstrId;
    m_timerStall.stop();
    DisconnectReply();
    m_timerRetry.start(wait);
    return true;
}

void Downloader::slotRetry()
{
    if (m_state != State::Running || !m_pFile || m_pReply)
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
    if (!m_pReply || !m_pFile || m_state != State::Running)
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
        if (_blHoldForDigests && DigestsFull())
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
    const qint64 written = m_pFile->write(_baData);
    if (written != _baData.size()) {
        qCCritical(lcInstall).noquote()
            << "Downloader::WriteChunk:write failed:" + m_qstrFilePath + ":" + m_pFile->errorString();
        const qint64 total = m_nWritten + qMax<qint64>(written, 0);
        Fail(ErrorText(kStageNet, FillPlaceholders(tr("WRITE_FILE_FAILED"),
                                                   m_pReply ? m_pReply->url().toString() : QString(),
                                                   m_qstrFilePath, QString::number(total))));
        return false;
    }
    // Hashing what was written spares reading the file again for the checks.
    if (m_pMd5)
        m_pMd5->Add(_baData);
    if (m_pSha512)
        m_pSha512->Add(_baData);
    m_nWritten += written;
    m_blBytesArrived = true;
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
    bytesReceived += m_nReplyStart;
    if (m_nTotal >= 0)
        bytesTotal = m_nTotal;
    else if (bytesTotal > 0)
        bytesTotal += m_nReplyStart;
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
    if (m_state != State::Running || !m_pFile)
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
    if (m_nTotal >= 0 && m_nWritten < m_nTotal) {
        if (RetryAfterCut(QNetworkReply::RemoteHostClosedError))
            return;
        Fail(ErrorText(
            kStageNet,
            FillPlaceholders(
                tr("NET_WORDK_ERROR"), QString::number(QNetworkReply::RemoteHostClosedError),
                QStringLiteral("Connection closed at %1 of %2 bytes").arg(m_nWritten).arg(m_nTotal))));
        return;
    }
    if (!CommitFile()) {
        Fail(ErrorText(kStageNet, FillPlaceholders(tr("WRITE_FILE_FAILED"), _pReply->url().toString(),
                                                   m_qstrFilePath, QString::number(m_nWritten))));
        return;
    }
    m_timerStall.stop();
    m_state = State::Done;

    const qint64 elapsed = m_timerElapsed.elapsed();
    qCWarning(lcInstall) << "Download finished.";
    qCWarning(lcInstall).noquote() << QStringLiteral("Elapsed time: %1ms").arg(elapsed);
    qCWarning(lcInstall).noquote()
        << QStringLiteral("Download speed: %1bytes/s").arg(m_nWritten / (qMax<qint64>(elapsed, 1) / 1000.0));
    DisconnectReply();

    m_blFinished = true;
    FinishDigests();
}

void Downloader::FinishDigests()
{
    m_baMd5.clear();
    m_baSha512.clear();
    m_nDigestsPending = (m_pMd5 ? 1 : 0) + (m_pSha512 ? 1 : 0);
    if (m_nDigestsPending == 0) {
        CheckDigest();
        return;
    }
    // What is left to hash is hashed on the streams' threads; this thread only hears the digests.
    // The digest crosses under a lock of ours, and the call that announces it carries nothing.
    const auto finish = [this](DigestStream& _stream, QByteArray Downloader::*_pDigest) {
        _stream.Finish([this, _pDigest](const QByteArray& _baDigest) {
            {
                std::lock_guard<std::mutex> lock(m_mutexDigests);
                this->*_pDigest = _baDigest;
            }
            QMetaObject::invokeMethod(this, "slotDigestReady", Qt::QueuedConnection);
        });
    };
    if (m_pMd5)
        finish(*m_pMd5, &Downloader::m_baMd5);
    if (m_pSha512)
        finish(*m_pSha512, &Downloader::m_baSha512);
}

void Downloader::slotDigestReady()
{
    {
        std::lock_guard<std::mutex> lock(m_mutexDigests);
    }
    if (--m_nDigestsPending == 0)
        CheckDigest();
}

void Downloader::CheckDigest()
{
    m_pMd5.reset();
    m_pSha512.reset();
    const QString computed = QString::fromLatin1(m_baMd5.toHex().toUpper());
    if (!m_qstrMd5.isEmpty() && computed.compare(m_qstrMd5, Qt::CaseInsensitive) != 0) {
        Report(ErrorText(kStageMd5,
                         FillPlaceholders(tr("CHECK_SUM_FAILED"), m_qstrFilePath, computed, m_qstrMd5)));
        return;
    }
    if (!m_qstrPublicKey.isEmpty()) {
        const PackageSignature::Verdict verdict =
            PackageSignature::Verify(m_qstrPublicKey, m_qstrSignature, m_baSha512);
        if (verdict != PackageSignature::Verdict::Valid) {
            Report(
                ErrorText(kStageSignature, FillPlaceholders(tr(SignatureDetail(verdict)), m_qstrFilePath)));
            return;
        }
        qCWarning(lcInstall).noquote() << "Downloader::CheckDigest:signature valid:" + m_qstrFilePath;
    }
    qCWarning(lcInstall).noquote() << "Downloader::signFinished:" + m_qstrId;
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
    const QFileInfo finalInfo(m_parent.Path() + QLatin1Char('/') + m_parent.Name());
    if ((finalInfo.isDir() && !finalInfo.isSymLink()) ||
        (finalInfo.exists() && !finalInfo.isSymLink() && !finalInfo.isWritable())) {
        qCWarning(lcInstall).noquote()
            << "Downloader::OpenTempFile:target is a folder or not writable:" + finalInfo.filePath();
        return false;
    }
    // Made in the checked folder and renamed there at the end, so the file committed is the file
    // written and hashed; a link at the target is replaced, never written through.
    m_pFile = std::make_unique<QFile>();
    if (!m_parent.CreateTemp(*m_pFile, m_baTemp, 0666)) {
        qCWarning(lcInstall).noquote() << "Downloader::OpenTempFile:open failed:" + m_parent.Error();
        m_pFile.reset();
        return false;
    }
    return true;
}

bool Downloader::CommitFile()
{
    m_pFile->close();
    const bool closed = m_pFile->error() == QFileDevice::NoError;
    m_pFile.reset();
    // No fsync: the file is as durable as one written in place, and syncing 512 MiB costs more
    // than the whole MD5 check.
    if (!closed || !m_parent.CommitTemp(m_baTemp)) {
        qCCritical(lcInstall).noquote() << "Downloader::CommitFile:failed:" + m_parent.Error();
        m_parent.RemoveTemp(m_baTemp);
        m_baTemp.clear();
        return false;
    }
    m_baTemp.clear();
    return true;
}

void Downloader::DiscardFile()
{
    if (m_pFile) {
        m_pFile->close();
        m_pFile.reset();
        m_parent.RemoveTemp(m_baTemp);
        m_baTemp.clear();
    }
    m_pMd5.reset();
    m_pSha512.reset();
}
