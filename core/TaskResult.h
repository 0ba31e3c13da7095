#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QtGlobal>

// The one final value of a piece of long work, sent to its requester as the answer's
// error_code, error_string and data.
struct TaskResult
{
    qint64 code = 0;
    QString text;
    QString data;
    // Data already in its wire form (a JSON text, written into the envelope as it is); when set
    // it is sent instead of data. For answers of megabytes that should not be copied again.
    QByteArray wireData;
};
Q_DECLARE_METATYPE(TaskResult)
