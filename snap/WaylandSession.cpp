#include "snap/WaylandSession.h"

namespace WaylandSession {

bool IsActive(const QProcessEnvironment& _env)
{
    return !_env.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty() ||
           _env.value(QStringLiteral("XDG_SESSION_TYPE")) == QLatin1String("wayland");
}

QByteArray PlatformToForce(const QProcessEnvironment& _env)
{
    if (!IsActive(_env) || !_env.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty() ||
        _env.value(QStringLiteral("DISPLAY")).isEmpty())
        return QByteArray();
    return QByteArrayLiteral("xcb");
}

} // namespace WaylandSession
