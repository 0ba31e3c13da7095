#include "system/ProcessHelper.h"

namespace ProcessHelper {

bool IsPlainProcessName(const QString& _qstrName)
{
    if (_qstrName.isEmpty() || _qstrName == QLatin1String(".") || _qstrName == QLatin1String(".."))
        return false;
    for (const QChar c : _qstrName) {
        // Wildcards and quotes have meaning to the tools that kill by name; separators make a
        // path. None of them can be part of a name we compare.
        if (c == QLatin1Char('*') || c == QLatin1Char('?') || c == QLatin1Char('/') ||
            c == QLatin1Char('\\') || c == QLatin1Char('"') || c == QLatin1Char('\'') ||
            c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

} // namespace ProcessHelper
