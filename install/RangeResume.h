#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QVector>

#include <optional>

class QNetworkRequest;

// How a download goes on after its connection was cut: the next request asks only for the bytes
// not yet in the file (Range, with If-Range naming the version those bytes came from), a 206
// that continues exactly there is appended, a 200 starts the file over, anything else that
// claims to be a range fails. A cut is retried after each wait of the retry schedule, once some
// body bytes arrived.
class RangeResume
{
public:
    // What a response's status and headers mean for its body.
    enum class Verdict {
        Wait,      // no final status yet (a redirect being followed)
        Whole,     // the whole file from byte 0, into an empty file
        StartOver, // the whole file, though a range was asked: the file must be emptied first
        Continues, // the range asked for, exactly where the file ends
        Broken,    // a partial response that does not continue the file
        Drop,      // an error status, which the network library reports; the body is nobody's file
    };

    // A new download: nothing known of the file, no retry used.
    void Reset();
    void SetRetryWaits(const QVector<int>& _vecWaitsMs) { m_vecRetryWaitsMs = _vecWaitsMs; }
    const QVector<int>& RetryWaits() const { return m_vecRetryWaitsMs; }

    // Asks for what follows the _nWritten bytes already in the file (nothing when it is empty).
    void Prepare(QNetworkRequest& _request, qint64 _nWritten);
    // The verdict on a response with HTTP status _nStatus; a continuing range takes the total it
    // names.
    Verdict Judge(int _nStatus, const QByteArray& _baContentRange, qint64 _nWritten);
    // Takes the length and the version of a response that sends the whole file.
    void AdoptWhole(const QNetworkReply& _reply);
    // The file's offset at which the current response's body begins: 0 after a start over.
    void StartOver() { m_nReplyStart = 0; }

    void NoteBytesArrived() { m_blBytesArrived = true; }
    // The wait before the next retry, or none: no body bytes yet, or the schedule is used up.
    std::optional<int> TakeRetry();
    int RetriesUsed() const { return m_nRetries; }

    // The whole length once a response declared it, -1 before or without one.
    qint64 Total() const { return m_nTotal; }
    qint64 ReplyStart() const { return m_nReplyStart; }

    // Connection failures worth another try; a stop, TLS, redirects, HTTP statuses and protocol
    // errors are not.
    static bool IsRetryable(QNetworkReply::NetworkError _code);
    // "bytes FIRST-LAST/TOTAL" (TOTAL may be "*", then -1); false when it is not of that form.
    static bool ParseContentRange(const QByteArray& _baValue, qint64& _nFirst, qint64& _nLast,
                                  qint64& _nTotal);

private:
    qint64 m_nTotal = -1;
    qint64 m_nReplyStart = 0;
    bool m_blRangeAsked = false;
    // ETag (a strong one), else Last-Modified, of the response the file's bytes came from.
    QByteArray m_baValidator;
    // Some body bytes arrived in this download (a later error is then worth a retry).
    bool m_blBytesArrived = false;
    int m_nRetries = 0;
    QVector<int> m_vecRetryWaitsMs;
};
