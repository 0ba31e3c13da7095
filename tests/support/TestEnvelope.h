#pragma once

#include "core/JsonCommand.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// A fresh envelope with a new braced guid.
JsonCommand makeCommand(const QString& _qstrType, const QString& _qstrCommand,
                        const QString& _qstrData = QString(), const QString& _qstrFrom = QString());
// The "command_login" envelope of a client offering these command names.
JsonCommand makeLogin(const QString& _qstrName, const QStringList& _listAbilities = {});
// A "transfer" to the named clients (or to everyone when _listTo is empty and _blCast is set).
JsonCommand makeTransfer(const QStringList& _listTo, const QString& _qstrData,
                         const QString& _qstrCommand = QString(), bool _blCast = false);
// True for an answer that ends a task: any code but 0 (0 is the hub's "ok" and an ability's
// progress); a hub refusal (negative) ends it as well.
bool isFinalResult(const JsonCommand& _jsonCommand);

using EnvelopePredicate = std::function<bool(const JsonCommand&)>;
using EnvelopeWait = std::function<std::optional<JsonCommand>(const EnvelopePredicate&, int)>;
// Every envelope with this guid, taken through a client's wait, up to and including the first
// one _isFinal accepts; ends early (without a final envelope) when the bound runs out.
QList<JsonCommand> collectWithGuid(const EnvelopeWait& _waitFor, const QString& _qstrGuid,
                                   const EnvelopePredicate& _isFinal, int _nTimeoutMs);
// True once the "notify_ret" of this login has come with error 0, within the bound.
bool loginAnswered(const EnvelopeWait& _waitFor, const QString& _qstrGuid, int _nTimeoutMs);
