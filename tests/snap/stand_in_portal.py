#!/usr/bin/python3
# Stands in on a test's session bus for the desktop's screenshot portal, or ("access") for the
# Access dialog that xdg-desktop-portal wants before it takes a screenshot without asking.
#   stand_in_portal.py picture URI | refuse CODE | silent | access
# Prints "ready" once it owns its name.
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
mode = sys.argv[1]


class Request(dbus.service.Object):
    @dbus.service.signal("org.freedesktop.portal.Request", signature="ua{sv}")
    def Response(self, response, results):
        pass


class Screenshot(dbus.service.Object):
    @dbus.service.method("org.freedesktop.portal.Screenshot", in_signature="sa{sv}", out_signature="o",
                         sender_keyword="sender")
    def Screenshot(self, parent, options, sender):
        if options.get("interactive", True) or "handle_token" not in options:
            raise dbus.exceptions.DBusException("expected interactive false and a handle_token",
                                                name="org.freedesktop.portal.Error.InvalidArgument")
        path = "/org/freedesktop/portal/desktop/request/%s/%s" % (sender[1:].replace(".", "_"),
                                                                  options["handle_token"])
        request = Request(bus, path)
        # Answered before the call returns, as a quick portal may: heard only by a caller that
        # subscribed first.
        if mode == "picture":
            request.Response(0, dbus.Dictionary({"uri": dbus.String(sys.argv[2])}, signature="sv"))
        elif mode == "refuse":
            request.Response(int(sys.argv[2]), dbus.Dictionary({}, signature="sv"))
        return dbus.ObjectPath(path)


class Access(dbus.service.Object):
    @dbus.service.method("org.freedesktop.impl.portal.Access", in_signature="osssssa{sv}", out_signature="ua{sv}")
    def AccessDialog(self, handle, app_id, parent, title, subtitle, body, options):
        return (dbus.UInt32(0), dbus.Dictionary({}, signature="sv"))


if mode == "access":
    name = "org.freedesktop.impl.portal.desktop.qorvtest"
    Access(bus, "/org/freedesktop/portal/desktop")
else:
    name = "org.freedesktop.portal.Desktop"
    Screenshot(bus, "/org/freedesktop/portal/desktop")
owner = dbus.service.BusName(name, bus, allow_replacement=True, replace_existing=True, do_not_queue=True)
print("ready", flush=True)
GLib.MainLoop().run()
