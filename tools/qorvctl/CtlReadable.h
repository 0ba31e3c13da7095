#pragma once

#include "core/JsonCommand.h"

#include <QJsonObject>
#include <QString>

// What qorvctl prints for people: one line per answer (command, code, text and the decoded data,
// two spaces apart) and the status tables. Every text may come from another client, so control
// characters are shown escaped and never reach the terminal as they are.
class CtlReadable
{
public:
    static QString Line(const JsonCommand& _envelope);
    // The data of an answer to _qstrCommand as a short text; empty data stays empty.
    static QString DecodeData(const QString& _qstrCommand, const QString& _qstrData);
    // The "command_status" data as two aligned tables, clients then tasks.
    static QString StatusTables(const QJsonObject& _status);
    // Line breaks and tabs become separators, other control characters "\xNN".
    static QString Printable(const QString& _qstrText);
};
