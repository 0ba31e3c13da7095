#pragma once

#include <QImage>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

// A private X server (Xvfb) for one test or benchmark, on a display number the server picks
// itself, and the X clients they run on it (xdotool, xwininfo, helper windows).
class XvfbDisplay
{
public:
    XvfbDisplay() = default;
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    // True once the server accepts clients.
    bool start(const QSize& _size = QSize(1920, 1080), int _nTimeoutMs = 20000);
    // Uses an X server started by someone else (a compositor's XWayland) for the clients below.
    void attach(const QString& _qstrDisplay) { m_qstrDisplay = _qstrDisplay; }
    QString display() const { return m_qstrDisplay; }
    QString errorString() const { return m_qstrError; }

    // This environment with DISPLAY set and Qt on its X11 platform.
    QProcessEnvironment environment() const;
    // Runs an X client to its end within the bound; its standard output, trimmed. _pOk is set
    // when it exited with code 0.
    QString run(const QString& _qstrProgram, const QStringList& _listArgs, bool* _pOk = nullptr,
                int _nTimeoutMs = 10000) const;
    // Starts a long-running X client (a helper window) and waits until it prints _qstrReady.
    std::unique_ptr<QProcess> launch(const QString& _qstrProgram, const QStringList& _listArgs,
                                     const QString& _qstrReady, int _nTimeoutMs = 20000) const;

    // The first visible top-level window whose name is exactly this one; 0 when none within the bound.
    qulonglong waitForWindow(const QString& _qstrName, int _nTimeoutMs = 10000) const;
    bool waitForNoWindow(const QString& _qstrName, int _nTimeoutMs = 10000) const;
    // x, y, width, height of a top-level window.
    QRect windowGeometry(qulonglong _nWindow) const;
    // Geometry (position on the screen and size) of each mapped window with exactly this title.
    QList<QRect> visibleWindows(const QString& _qstrTitle) const;
    // The colour on the screen at this point as 0xRRGGBB, read back from the server.
    std::optional<quint32> pixel(int _nX, int _nY) const;
    // What the screen shows in the rectangle, read back from the server; null when it cannot be read.
    QImage grab(const QRect& _rect) const;
    // Moves the pointer there and clicks the left button, with real X input.
    bool click(int _nX, int _nY) const;

private:
    std::unique_ptr<QProcess> m_pServer;
    QString m_qstrDisplay;
    QString m_qstrError;
};
