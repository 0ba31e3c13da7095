#pragma once

#include <QString>

// Fills every placeholder of a translated text in one call. The bare key (no translation loaded)
// has none, and Qt would warn about each argument; chained arg() calls would also warn, and could
// take a "%1" inside an earlier argument for a placeholder.
template <typename... Args> QString FillPlaceholders(const QString& _qstrText, const Args&... _args)
{
    if constexpr (sizeof...(_args) == 0)
        return _qstrText;
    else
        return _qstrText.contains(QLatin1Char('%')) ? _qstrText.arg(_args...) : _qstrText;
}
