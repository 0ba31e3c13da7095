#pragma once

#include <QByteArray>
#include <QProcessEnvironment>

// What a Wayland session changes for the service: no client may read the screen there (captures
// go through the desktop's screenshot portal) and no native client may place its own windows.
namespace WaylandSession {

// WAYLAND_DISPLAY set or XDG_SESSION_TYPE=wayland.
bool IsActive(const QProcessEnvironment& _env = QProcessEnvironment::systemEnvironment());

// The Qt platform to choose when the application starts, or empty to leave Qt's choice alone:
// XWayland ("xcb") in a Wayland session with DISPLAY available, so that windows appear where the
// service computes them, unless the user chose a platform.
QByteArray PlatformToForce(const QProcessEnvironment& _env = QProcessEnvironment::systemEnvironment());

} // namespace WaylandSession
