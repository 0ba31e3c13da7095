#include "system/ProcessSnapshot.h"

namespace ProcessSnapshot {

bool AnswersTo(const ProcessRecord& _record, const QString& _qstrName)
{
    if (_qstrName.isEmpty())
        return false;
    if (_record.name.compare(_qstrName, Qt::CaseInsensitive) == 0)
        return true;
    for (const QString& other : _record.otherNames)
        if (other.compare(_qstrName, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace ProcessSnapshot
