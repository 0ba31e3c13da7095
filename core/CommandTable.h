#pragma once

#include "core/JsonCommand.h"

#include <QString>

#include <cstddef>
#include <vector>

// Every ability keeps one table of its commands ({name, handler} entries); GetAbilities and
// DealCommand both read it through these, so the two cannot drift apart.
namespace CommandTable {

template <class Entry, std::size_t N> std::vector<QString> Names(const Entry (&_table)[N])
{
    std::vector<QString> names;
    names.reserve(N);
    for (const Entry& entry : _table)
        names.push_back(QString::fromLatin1(entry.name));
    return names;
}

// The entry for a "command" envelope's name; null for another type or an unknown name.
template <class Entry, std::size_t N>
const Entry* Find(const Entry (&_table)[N], const JsonCommand& _jsonCommand)
{
    if (_jsonCommand.type != Envelope::kCommand)
        return nullptr;
    for (const Entry& entry : _table)
        if (_jsonCommand.command == QLatin1String(entry.name))
            return &entry;
    return nullptr;
}

} // namespace CommandTable
