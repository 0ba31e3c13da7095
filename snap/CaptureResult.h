#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// How one capture request ended: the picture taken, a failure with its reason, or no room in the
// service's pool to do the work.
struct CaptureResult
{
    enum class Kind { Taken, Failed, Refused };

    // The failure texts the requester sees.
    inline static const QString kCancelByEsc = QStringLiteral("user cancel by press esc");
    inline static const QString kCancelByButton = QStringLiteral("user cancel by button");
    inline static const QString kSnapFailed = QStringLiteral("failed to snap screen");
    inline static const QString kEmptyArea = QStringLiteral("empty area,abord");
    inline static const QString kSuperseded = QStringLiteral("cancelled by a newer capture request");
    inline static const QString kSaveFailed = QStringLiteral("failed to save snap file");

    Kind kind = Kind::Failed;
    QString reason;         // Failed: why
    QString pathBase64;     // Taken: Base64 of the saved file's UTF-8 path
    QByteArray imageBase64; // Taken: Base64 (ASCII) of the PNG

    static CaptureResult Taken(const QString& _qstrPathBase64, const QByteArray& _baImageBase64)
    {
        return CaptureResult{Kind::Taken, QString(), _qstrPathBase64, _baImageBase64};
    }
    static CaptureResult Failed(const QString& _qstrReason)
    {
        return CaptureResult{Kind::Failed, _qstrReason, QString(), QByteArray()};
    }
    static CaptureResult Refused()
    {
        return CaptureResult{Kind::Refused, QString(), QString(), QByteArray()};
    }
};

// Called exactly once per capture request, on the thread that made the request.
using CaptureCallback = std::function<void(const CaptureResult& _result)>;
