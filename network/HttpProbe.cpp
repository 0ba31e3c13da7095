#include "network/HttpProbe.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

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
    auto* timer = new QTimer(reply);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, reply, &QNetworkReply::abort);
    timer->start(_nTimeoutMs);
    // Nobody reads the body; dropping it as it comes keeps a huge answer out of memory.
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply] { reply->readAll(); });
    QObject::connect(reply, &QNetworkReply::finished, _pContext, [reply, _done] {
        const bool ok = reply->error() == QNetworkReply::NoError;
        reply->deleteLater();
        _done(ok);
    });
}

} // namespace HttpProbe
