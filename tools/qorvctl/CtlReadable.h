#pragma once

#include "core/JsonCommand.h"

#include <QJsonObject>
#include <QString>

// What qorvctl prints for people: one line per answer (command, code, text and the decoded data,
// two spaces apart, a list of objects as a table below it) and the status tables. The data is
// read by its shape, never by the command's name. Every text may come from another client, so
// control characters are shown escaped and never reach the terminal as they are.
class CtlReadable
{
public:
    static QString Line(const JsonCommand& _envelope);
    // The data of an answer as a short text; empty data stays empty. Files are "saved PATH",
    // Base64 only its size.
    static QString DecodeData(const QString& _qstrData);
    // Breaks lines longer than _nWidth at spaces; continued lines are indented.
    static QString Wrap(const QString& _qstrText, int _nWidth);
    // The "command_status" data as two aligned tables, clients then tasks.
    static QString StatusTables(const QJsonObject& _status);
    // Line breaks and tabs become separators, other control characters "\xNN".
    static QString Printable(const QString& _qstrText);
};
