#pragma once

// A private X display for tests of what the user sees: starts Xvfb on a free display number and
// looks at its windows from outside with xdotool and xwininfo, as another program would.

#include <QList>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>

#include <optional>

class XvfbDisplay
{
public:
    XvfbDisplay() = default;
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    // Starts the server with one screen of this size; true once it reported its display number.
    bool start(int _nWidth = 1920, int _nHeight = 1080, int _nTimeoutMs = 20000);
    // ":N", the value for DISPLAY.
    QString display() const { return m_qstrDisplay; }
    QString errorString() const { return m_qstrError; }

    // Geometry (position on the screen and size) of each mapped window with exactly this title.
    QList<QRect> visibleWindows(const QString& _qstrTitle);
    // The colour on the screen at this point as 0xRRGGBB, read back from the server.
    std::optional<quint32> pixel(int _nX, int _nY);
    // Moves the pointer there and clicks the left button, with real X input.
    bool click(int _nX, int _nY);
    // Runs an X client on this display; its standard output, empty on failure.
    QString run(const QString& _qstrProgram, const QStringList& _listArgs, int* _pExitCode = nullptr);

private:
    QProcess m_process;
    QString m_qstrDisplay;
    QString m_qstrError;
};
