#pragma once

#include "core/AbilityReply.h"
#include "core/Handled.h"
#include "core/IAbility.h"
#include "core/JsonCommand.h"
#include "core/TaskTable.h"

#include <QString>

#include <vector>

// The base of every ability: one table of rows {name, handler, reply kind, success codes, stop,
// data} that GetAbilities, DealCommand and the catalog all read, so they cannot drift apart, and
// the ability's one task table. A handler returns what it did (Handled); a stop row names the
// command whose task it stops and has no handler. The ability supplies its rows and handlers.
template <class Ability> class AbilityTable : public IAbility
{
public:
    using Handler = Handled (Ability::*)(const JsonCommand&);

    struct Row
    {
        const char* name;
        Handler handler;
        ReplyKind reply;
        std::vector<qint64> success;
        // The command that stops this command's task (sent with the task's guid), if any.
        const char* stop = nullptr;
        // The data the command cannot do without, as a short pattern; none when it needs none.
        const char* data = nullptr;
        // For a stop row: the command whose task it stops.
        const char* stops = nullptr;

        // A stop row: answers nothing when it stops a task, 104 when there is none.
        static Row Stop(const char* _szName, const char* _szOf)
        {
            return Row{_szName, nullptr, ReplyKind::Silent, {}, nullptr, nullptr, _szOf};
        }
    };

    std::vector<QString> GetAbilities() override
    {
        std::vector<QString> names;
        names.reserve(m_rows.size());
        for (const Row& row : m_rows)
            names.push_back(QString::fromLatin1(row.name));
        return names;
    }

    // Main thread only, as every ability's handlers are. True for every command the table
    // lists: the ability answers it, refused or not, and no other ability sees it.
    bool DealCommand(const JsonCommand& _jsonCommand) override
    {
        const Row* row = Find(_jsonCommand);
        if (!row)
            return false;
        if (row->stops) {
            m_tasks.Stop(_jsonCommand, QString::fromLatin1(row->stops));
            return true;
        }
        Deliver(_jsonCommand, (static_cast<Ability*>(this)->*row->handler)(_jsonCommand));
        return true;
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
    explicit AbilityTable(const std::vector<Row>& _rows, TaskTable::Style _style = TaskTable::Style())
        : m_rows(_rows), m_tasks(std::move(_style))
    {
    }

    TaskTable& Tasks() { return m_tasks; }
    const TaskTable& Tasks() const { return m_tasks; }

    // Carries out what a handler returned: a task goes into the table, an answer to the requester.
    void Deliver(const JsonCommand& _request, Handled _handled)
    {
        switch (_handled.GetKind()) {
        case Handled::Kind::Started:
            m_tasks.Start(_request, _handled.TakeTask());
            break;
        case Handled::Kind::Answer:
        case Handled::Kind::Refused:
            AbilityReply::Send(_request, _handled.Result());
            break;
        case Handled::Kind::Quiet:
            break;
        }
    }

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
    TaskTable m_tasks;
};
