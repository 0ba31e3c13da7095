// systemd's notification protocol (sd_notify from libsystemd): READY=1 ends the start job of a
// Type=notify unit, STATUS= is the line "systemctl --user status" shows. Without NOTIFY_SOCKET
// (started by hand or by XDG autostart) every call is a no-op.
#include "core/ServiceNotify.h"

#include <systemd/sd-daemon.h>

namespace {

void Send(const QString& _qstrMessage)
{
    // 1: unset NOTIFY_SOCKET, so that children the service starts cannot speak for it.
    sd_notify(1, _qstrMessage.toUtf8().constData());
}

// One line: the protocol separates assignments by newlines.
QString StatusLine(QString _qstrStatus)
{
    return QStringLiteral("STATUS=") + _qstrStatus.replace(QLatin1Char('\n'), QLatin1Char(' '));
}

} // namespace

namespace ServiceNotify {

void Ready(const QString& _qstrStatus)
{
    Send(QStringLiteral("READY=1\n") + StatusLine(_qstrStatus));
}

void Failed(const QString& _qstrStatus)
{
    Send(StatusLine(_qstrStatus));
}

} // namespace ServiceNotify
