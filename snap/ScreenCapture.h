#pragma once

#include "snap/CaptureResult.h"
#include "snap/GrabQueue.h"
#include "snap/PortalScreenshot.h"
#include "snap/SnapScreenTool.h"

#include <QObject>
#include <QPixmap>

#include <functional>

// Captures of the primary screen, whole or of a rectangle the user chooses on the overlay. The
// picture comes from the X server or, in a Wayland session, from the desktop's screenshot portal,
// which answers later. Full-screen requests go through the one grab queue; an area request that
// comes while a selection is open answers the open one first. Main thread only.
class ScreenCapture : public QObject
{
    Q_OBJECT
public:
    // _funcUnsentBytes: what the transports hold for clients and have not written yet.
    explicit ScreenCapture(std::function<qint64()> _funcUnsentBytes);
    ~ScreenCapture() override;

    // _callback is called exactly once, on this thread.
    void Start(bool _blFullScreen, CaptureCallback _callback);

    SnapScreenTool& Overlay() { return m_overlay; }

private slots:
    void slotPortalFinished(PortalScreenshot::Outcome _outcome, const QImage& _image,
                            const QString& _qstrReason);

private:
    // A picture of the screen, _dRatio of its pixels per screen pixel, and where the screen is.
    struct Picture
    {
        QPixmap pixmap;
        double ratio = 1.0;
        QRect screen;
    };

    void StartFullScreen(CaptureCallback _callback);
    void StartArea(CaptureCallback _callback);
    // Grabs the primary screen; an empty picture when there is none or the display gives no image.
    static Picture GrabScreen();
    // Makes a picture from the portal's image; empty without a screen to show it on.
    static Picture Adopt(const QImage& _image);
    // Hands the full-screen part of _picture to the grab queue.
    void TakeFullScreen(const Picture& _picture);
    // Lets the user choose on _picture.
    void ShowSelection(const Picture& _picture, CaptureCallback _callback);
    // Encodes and writes on the pool; _callback runs back on this thread.
    void StartSaveJob(const QImage& _image, CaptureCallback _callback);

    PortalScreenshot* m_pPortal = nullptr; // in a Wayland session only
    SnapScreenTool m_overlay;
    GrabQueue m_grabs;
    // An area request waiting for the portal's picture to choose from.
    CaptureCallback m_funcAreaWaiting;
};
