#include "network/HttpProbe.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

#include <memory>

namespace HttpProbe {

bool IsContactable(const QUrl& _url)
{
    const QString scheme = _url.scheme().toLower();
    return _url.isValid() && !_url.host().isEmpty() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

QNetworkRequest BuildRequest(Method _method, const QUrl& _url, const Headers& _mapHeaders)
{
    QNetworkRequest request(_url);
    if (_method == Method::Get)
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    else
        request.setRawHeader("content-type", "application/x-www-form-urlencoded");
    for (auto it = _mapHeaders.cbegin(); it != _mapHeaders.cend(); ++it)
        request.setRawHeader(it.key().toUtf8(), it.value().toUtf8());
    // A redirect is an answer: the server is reachable, and we never follow it elsewhere.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QSslConfiguration tls = request.sslConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    tls.setProtocol(QSsl::TlsV1SslV3);
    request.setSslConfiguration(tls);
    return request;
}

QByteArray FormBody(const QMap<QString, QString>& _mapForm)
{
    QByteArray body;
    for (auto it = _mapForm.cbegin(); it != _mapForm.cend(); ++it) {
        if (!body.isEmpty())
            body += '&';
        body += QUrl::toPercentEncoding(it.key()) + '=' + QUrl::toPercentEncoding(it.value());
    }
    return body;
}

void Start(QNetworkAccessManager& _nam, Method _method, const QUrl& _url, const Headers& _mapHeaders,
           const QByteArray& _baBody, int _nTimeoutMs, QObject* _pContext, Done _done)
{
    if (!IsContactable(_url)) {
        QTimer::singleShot(0, _pContext, [_done] { _done(false); });
        return;
    }
    const QNetworkRequest request = BuildRequest(_method, _url, _mapHeaders);
    QNetworkReply* reply = _method == Method::Get ? _nam.get(request) : _nam.post(request, _baBody);
    // Nobody reads the body: the transfer holds this much of it at most, and ends at the headers.
    reply->setReadBufferSize(kReadBufferBytes);
    auto* timer = new QTimer(reply);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, reply, &QNetworkReply::abort);
    timer->start(_nTimeoutMs);
    auto settled = std::make_shared<bool>(false);
    // The status line decides, however long or slow the body that follows would be.
    QObject::connect(reply, &QNetworkReply::metaDataChanged, _pContext, [reply, _done, settled] {
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (*settled || !status.isValid())
            return;
        *settled = true;
        // Not from inside the reply's own signal: it goes on using its state after emitting.
        QMetaObject::invokeMethod(
            reply,
            [reply] {
                reply->abort();
                reply->deleteLater();
            },
            Qt::QueuedConnection);
        _done(status.toInt() < 400);
    });
    QObject::connect(reply, &QNetworkReply::finished, _pContext, [reply, _done, settled] {
        if (*settled)
            return;
        *settled = true;
        const bool ok = reply->error() == QNetworkReply::NoError;
        reply->deleteLater();
        _done(ok);
    });
}

} // namespace HttpProbe
