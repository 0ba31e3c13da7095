#pragma once

#include "core/IAbility.h"
#include "core/JsonCommand.h"

#include <QString>

#include <vector>

// The base of every ability: one table of rows {name, handler, reply kind, success codes, stop, data} that
// GetAbilities, DealCommand and the catalog all read, so they cannot drift apart. An ability
// supplies its rows and its handlers; nothing else about a command is written twice.
template <class Ability> class AbilityTable : public IAbility
{
public:
    struct Row
    {
        const char* name;
        void (Ability::*handler)(const JsonCommand&);
        ReplyKind reply;
        std::vector<qint64> success;
        // The command that stops this command's task (sent with the task's guid), if any.
        const char* stop = nullptr;
        // The data the command cannot do without, as a short pattern; none when it needs none.
        const char* data = nullptr;
    };

    std::vector<QString> GetAbilities() override
    {
        std::vector<QString> names;
        names.reserve(m_rows.size());
        for (const Row& row : m_rows)
            names.push_back(QString::fromLatin1(row.name));
        return names;
    }

    // Main thread only, as every ability's handlers are.
    bool DealCommand(const JsonCommand& _jsonCommand) override
    {
        const Row* row = Find(_jsonCommand);
        if (!row)
            return false;
        m_blRefused = false;
        (static_cast<Ability*>(this)->*row->handler)(_jsonCommand);
        return !m_blRefused;
    }

    std::vector<CommandInfo> Catalog() const override
    {
        std::vector<CommandInfo> infos;
        infos.reserve(m_rows.size());
        for (const Row& row : m_rows)
            infos.push_back(CommandInfo{QString::fromLatin1(row.name), row.reply, row.success,
                                        QString::fromLatin1(row.stop), QString::fromLatin1(row.data)});
        return infos;
    }

protected:
    explicit AbilityTable(const std::vector<Row>& _rows) : m_rows(_rows) {}

    // Called by a handler that does not take its command: the manager then answers the requester
    // that no ability could deal with it (-4).
    void Refuse() { m_blRefused = true; }

    // The row of a "command" envelope; null for another type or a name not in the table.
    const Row* Find(const JsonCommand& _jsonCommand) const
    {
        if (_jsonCommand.type != Envelope::kCommand)
            return nullptr;
        for (const Row& row : m_rows)
            if (_jsonCommand.command == QLatin1String(row.name))
                return &row;
        return nullptr;
    }

private:
    const std::vector<Row>& m_rows;
    bool m_blRefused = false;
};
