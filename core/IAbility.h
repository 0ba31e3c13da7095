#pragma once

#include "core/JsonCommand.h"

#include <QString>
#include <vector>

// How a command answers its requester, as clients learn it from the command catalog.
enum class ReplyKind {
    Progress, // code 0 while the task runs, then one final code
    Single,   // exactly one answer
    Silent,   // answers only to refuse
};

// One command as the catalog describes it.
struct CommandInfo
{
    QString name;
    ReplyKind reply = ReplyKind::Single;
    std::vector<qint64> success; // the final codes that mean the command did what it was asked
    QString stop;                // the command that stops its task, sent with the task's guid
    QString data;                // the data it cannot do without, as a pattern; empty: none needed
};

// What every ability offers the ability manager.
class IAbility
{
public:
    // The command names this ability handles; read once at registration.
    virtual std::vector<QString> GetAbilities() = 0;
    // True when the ability took the command, even if its result follows later.
    virtual bool DealCommand(const JsonCommand& command) = 0;
    // The same commands, in the same order, with how each answers.
    virtual std::vector<CommandInfo> Catalog() const = 0;
    virtual ~IAbility() = default;
};
