#pragma once

#include "core/StandardError.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <cstddef>

// The text of the log, without files or locks: how a line looks in the file and on standard
// error, and how what a client sent is clipped and quoted before it goes into a line.
class LogText
{
public:
    // "[W]:"; info and unknown types have no tag.
    static const char* Tag(QtMsgType _type);
    // The time as every line shows it: "2024-03-05 14:02:11".
    static QByteArray Stamp(const QDateTime& _time);
    // "[W]:2024-03-05 14:02:11\ttext", as the file holds it (without its "\r\n").
    static QString FormatLogLine(QtMsgType _type, const QDateTime& _time, const QString& _qstrText);

    // A file line, "\r\n" included, is this long...
    static size_t FileLineBytes(QtMsgType _type, const QByteArray& _baStamp, const QByteArray& _baText);
    // ...and is written from _pOut on, which returns past its end.
    static char* PutFileLine(char* _pOut, QtMsgType _type, const QByteArray& _baStamp,
                             const QByteArray& _baText);
    // The line standard error gets: as in the file at a terminal; for the journal without the
    // time (it adds its own) and led by its priority ("<4>").
    static QByteArray EchoLine(QtMsgType _type, const QByteArray& _baStamp, const QByteArray& _baText,
                               StandardError::Kind _kind);

    // Caps what one message can put into the log: the first 16 KiB and the full length.
    static QByteArray ClipForLog(const QByteArray& _baText);
    // A byte string in double quotes exactly as Qt's debug stream writes it; fast for plain ASCII.
    static QByteArray QuotedUtf8(const QByteArray& _baText);
    static void AppendQuoted(QByteArray& _baOut, const QByteArray& _baText);

    static constexpr int kLogClipBytes = 16 * 1024;
};
