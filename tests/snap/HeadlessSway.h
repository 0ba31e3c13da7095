#pragma once

#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class PrivateSessionBus;

// The sway compositor without a screen (headless backend, pixman renderer) and its XWayland, as
// a desktop user would have them. sway refuses to run as root, so it runs as nobody in a runtime
// folder of nobody's; root reaches its sockets, and XWayland lets root in.
class HeadlessSway
{
public:
    HeadlessSway() = default;
    ~HeadlessSway();
    HeadlessSway(const HeadlessSway&) = delete;
    HeadlessSway& operator=(const HeadlessSway&) = delete;

    // The programs this needs that are not installed (the Debian package is named the same).
    static QStringList missingPrograms();
    // _qstrBackground: the colour swaybg, a Wayland client, paints the whole output with.
    bool start(const QSize& _size, const QString& _qstrBackground, int _nTimeoutMs = 30000);
    // Absolute path of the Wayland socket, usable as WAYLAND_DISPLAY by any user.
    QString waylandDisplay() const;
    QString x11Display() const { return m_qstrX11Display; }
    // WAYLAND_DISPLAY, DISPLAY and XDG_SESSION_TYPE of a client in this session.
    QProcessEnvironment sessionEnvironment() const;
    // The desktop's real screenshot portal of this session on the bus (xdg-desktop-portal, its
    // wlroots backend and the pipewire that one needs), with _qstrRuntime as their runtime folder.
    bool startPortal(PrivateSessionBus& _bus, const QString& _qstrRuntime, QString* _pError) const;
    // A pointer device for the seat, which a headless compositor lacks (the virtual_pointer tool
    // beside this file), then its commands: "move X Y", "press", "release". True once handled.
    bool startPointer(const QString& _qstrProgram);
    bool pointer(const QString& _qstrCommand);
    // What grim (a Wayland screenshot tool) sees on the output; null when it failed.
    QImage grim() const;
    QString errorString() const { return m_qstrError; }

private:
    QString RunAsNobody(const QStringList& _listCommand, bool* _pOk) const;

    QTemporaryDir m_dir;
    QString m_qstrRuntime;
    std::unique_ptr<QProcess> m_pSway;
    std::unique_ptr<QProcess> m_pPointer;
    QString m_qstrX11Display;
    QString m_qstrError;
};
