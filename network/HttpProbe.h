#pragma once

#include <QByteArray>
#include <QMap>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

#include <functional>

class QNetworkAccessManager;
class QObject;

// One bounded HTTP request whose only outcome is whether it succeeded: no transport error and no
// HTTP error status. Certificates are not verified; reachability is all that is asked.
namespace HttpProbe {

enum class Method { Get, Post };
// What a reply may buffer of a body nobody reads.
constexpr qint64 kReadBufferBytes = 16 * 1024;
using Headers = QMap<QString, QString>;
using Done = std::function<void(bool _blOk)>;

// Only http and https addresses with a host are contacted; file, data, ftp and the like never.
bool IsContactable(const QUrl& _url);
QNetworkRequest BuildRequest(Method _method, const QUrl& _url, const Headers& _mapHeaders);
// name=value pairs joined by "&", in map order, each part percent-encoded.
QByteArray FormBody(const QMap<QString, QString>& _mapForm);

// Calls _done exactly once, later, on _pContext's thread (not at all once _pContext is gone).
// The result is taken from the status line when the headers arrive (an HTTP error status fails,
// anything else succeeds) and the transfer is then aborted, so no body is ever read; a request
// with no headers after _nTimeoutMs is aborted and fails.
void Start(QNetworkAccessManager& _nam, Method _method, const QUrl& _url, const Headers& _mapHeaders,
           const QByteArray& _baBody, int _nTimeoutMs, QObject* _pContext, Done _done);

} // namespace HttpProbe
