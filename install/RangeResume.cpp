#include "install/RangeResume.h"

#include <QNetworkRequest>

void RangeResume::Reset()
{
    m_nTotal = -1;
    m_nReplyStart = 0;
    m_blRangeAsked = false;
    m_baValidator.clear();
    m_blBytesArrived = false;
    m_nRetries = 0;
}

void RangeResume::Prepare(QNetworkRequest& _request, qint64 _nWritten)
{
    m_blRangeAsked = _nWritten > 0;
    m_nReplyStart = _nWritten;
    if (!m_blRangeAsked)
        return;
    _request.setRawHeader("Range", "bytes=" + QByteArray::number(_nWritten) + '-');
    // Without a validator the range is asked as `curl -C -` asks it; the answer must still name
    // the length the first response declared.
    if (!m_baValidator.isEmpty())
        _request.setRawHeader("If-Range", m_baValidator);
}

RangeResume::Verdict RangeResume::Judge(int _nStatus, const QByteArray& _baContentRange, qint64 _nWritten)
{
    // A redirect being followed; one that is not is failed when its reply finishes.
    if (_nStatus >= 300 && _nStatus <= 399)
        return Verdict::Wait;
    if (m_blRangeAsked && (_nStatus == 206 || (_nStatus >= 200 && _nStatus <= 299 && _nStatus != 200))) {
        qint64 first = -1;
        qint64 last = -1;
        qint64 total = -1;
        const bool continues = _nStatus == 206 && ParseContentRange(_baContentRange, first, last, total) &&
                               first == _nWritten && (total < 0 || m_nTotal < 0 || total == m_nTotal);
        if (!continues)
            return Verdict::Broken;
        if (total >= 0)
            m_nTotal = total;
        return Verdict::Continues;
    }
    if (_nStatus < 200 || _nStatus > 299)
        return Verdict::Drop;
    // A 200 to a range: the server ignores ranges, or the file changed since.
    return m_blRangeAsked ? Verdict::StartOver : Verdict::Whole;
}

void RangeResume::AdoptWhole(const QNetworkReply& _reply)
{
    bool known = false;
    const qint64 length = _reply.header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    m_nTotal = known && length >= 0 ? length : -1;
    // The version these bytes belong to: a weak ETag may not be used for a range.
    const QByteArray etag = _reply.rawHeader("ETag").trimmed();
    m_baValidator =
        !etag.isEmpty() && !etag.startsWith("W/") ? etag : _reply.rawHeader("Last-Modified").trimmed();
}

std::optional<int> RangeResume::TakeRetry()
{
    if (!m_blBytesArrived || m_nRetries >= m_vecRetryWaitsMs.size())
        return std::nullopt;
    return qMax(0, m_vecRetryWaitsMs.at(m_nRetries++));
}

bool RangeResume::IsRetryable(QNetworkReply::NetworkError _code)
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
        return false;
    }
}

bool RangeResume::ParseContentRange(const QByteArray& _baValue, qint64& _nFirst, qint64& _nLast,
                                    qint64& _nTotal)
{
    const QByteArray value = _baValue.trimmed();
    if (!value.startsWith("bytes "))
        return false;
    const QByteArray span = value.mid(6).trimmed();
    const int dash = span.indexOf('-');
    const int slash = span.indexOf('/');
    if (dash <= 0 || slash <= dash + 1)
        return false;
    bool okFirst = false;
    bool okLast = false;
    bool okTotal = true;
    _nFirst = span.left(dash).toLongLong(&okFirst);
    _nLast = span.mid(dash + 1, slash - dash - 1).toLongLong(&okLast);
    const QByteArray total = span.mid(slash + 1);
    _nTotal = total == "*" ? -1 : total.toLongLong(&okTotal);
    return okFirst && okLast && okTotal && _nFirst >= 0 && _nLast >= _nFirst &&
           (_nTotal < 0 || _nLast < _nTotal);
}
