#include "snap/ScreenCapture.h"
#include "core/LogCategories.h"

#include "core/WorkerPool.h"
#include "snap/SelectionGeometry.h"
#include "snap/SnapEncoder.h"

#include <QDebug>
#include <QGuiApplication>
#include <QScreen>

#include <ctime>

ScreenCapture::ScreenCapture(std::function<qint64()> _funcUnsentBytes)
    : m_pPortal(PortalScreenshot::IsUsed() ? new PortalScreenshot(PortalScreenshot::kTimeoutMs, this)
                                           : nullptr),
      m_overlay(m_pPortal != nullptr), m_grabs(std::move(_funcUnsentBytes))
{
    if (m_pPortal)
        connect(m_pPortal, &PortalScreenshot::signFinished, this, &ScreenCapture::slotPortalFinished);
}

// Work still on the pool answers nobody: its delivery finds this object gone.
ScreenCapture::~ScreenCapture() = default;

void ScreenCapture::Start(bool _blFullScreen, CaptureCallback _callback)
{
    // The client still waiting for the picture it is to choose from gets an answer before the
    // new capture begins (one with a selection open gets it from the overlay).
    if (const CaptureCallback waiting = std::exchange(m_funcAreaWaiting, nullptr))
        waiting(CaptureResult::Failed(CaptureResult::kSuperseded));
    qCDebug(lcSnap) << "begin snap:" << clock();
    if (_blFullScreen)
        StartFullScreen(std::move(_callback));
    else
        StartArea(std::move(_callback));
}

void ScreenCapture::StartArea(CaptureCallback _callback)
{
    // The overlay's frozen picture is what the user sees beneath it: the newer request chooses on it.
    if (m_overlay.IsSelecting()) {
        ShowSelection(Picture{m_overlay.Picture(), m_overlay.PixelRatio(), m_overlay.geometry()},
                      std::move(_callback));
        return;
    }
    if (m_pPortal) {
        m_funcAreaWaiting = std::move(_callback);
        m_pPortal->Request();
        return;
    }
    const Picture picture = GrabScreen();
    if (picture.pixmap.isNull()) {
        _callback(CaptureResult::Failed(CaptureResult::kSnapFailed));
        return;
    }
    ShowSelection(picture, std::move(_callback));
}

void ScreenCapture::StartFullScreen(CaptureCallback _callback)
{
    // With a selection open, its frozen picture is the screen as the user had it; nothing is to
    // be chosen, so the overlay closes rather than flash.
    Picture frozen;
    if (m_overlay.IsSelecting()) {
        frozen = Picture{m_overlay.Picture(), m_overlay.PixelRatio(), m_overlay.geometry()};
        m_overlay.Abandon(CaptureResult::kSuperseded);
    }
    if (!m_grabs.Join(std::move(_callback)))
        return;
    if (!frozen.pixmap.isNull()) {
        TakeFullScreen(frozen);
        return;
    }
    if (m_pPortal) {
        m_pPortal->Request();
        return;
    }
    const Picture picture = GrabScreen();
    if (picture.pixmap.isNull()) {
        m_grabs.Fail(CaptureResult::Failed(CaptureResult::kSnapFailed));
        return;
    }
    TakeFullScreen(picture);
}

void ScreenCapture::TakeFullScreen(const Picture& _picture)
{
    SelectionGeometry geometry;
    geometry.Reset(_picture.screen.size(), true);
    qCDebug(lcSnap) << "screen size:" << _picture.screen.width() << "," << _picture.screen.height();
    qCDebug(lcSnap) << "end snap:" << clock();
    const QRect crop = geometry.CropRect(_picture.ratio, true).intersected(_picture.pixmap.rect());
    if (crop.isEmpty()) {
        m_grabs.Fail(CaptureResult::Failed(CaptureResult::kEmptyArea));
        return;
    }
    // The whole grab needs no copy of its pixels.
    m_grabs.SetPicture(crop == _picture.pixmap.rect() ? _picture.pixmap.toImage()
                                                      : _picture.pixmap.copy(crop).toImage());
}

void ScreenCapture::ShowSelection(const Picture& _picture, CaptureCallback _callback)
{
    qCDebug(lcSnap) << "end snap:" << clock();
    m_overlay.Select(
        _picture.pixmap, _picture.ratio, _picture.screen,
        [this, callback = std::move(_callback)](const QImage& _image, const QString& _qstrFailure) {
            if (_image.isNull())
                callback(CaptureResult::Failed(_qstrFailure));
            else
                StartSaveJob(_image, callback);
        });
}

void ScreenCapture::slotPortalFinished(PortalScreenshot::Outcome _outcome, const QImage& _image,
                                       const QString& _qstrReason)
{
    Picture picture;
    if (_outcome == PortalScreenshot::Outcome::Picture) {
        picture = Adopt(_image);
    } else if (_outcome == PortalScreenshot::Outcome::NoPortal) {
        qCWarning(lcSnap).noquote()
            << "SnapScreenTool:no screenshot portal (" + _qstrReason +
                   "), grabbing the X11 display instead: the picture may be incomplete";
        picture = GrabScreen();
    } else {
        qCWarning(lcSnap).noquote() << "SnapScreenTool:no picture from the screenshot portal: " + _qstrReason;
    }
    // Full-screen requests take the picture as it is; an area request then shows it to choose from.
    if (m_grabs.AwaitsPicture()) {
        if (picture.pixmap.isNull())
            m_grabs.Fail(CaptureResult::Failed(CaptureResult::kSnapFailed));
        else
            TakeFullScreen(picture);
    }
    const CaptureCallback waiting = std::exchange(m_funcAreaWaiting, nullptr);
    if (!waiting)
        return;
    if (picture.pixmap.isNull()) {
        waiting(CaptureResult::Failed(CaptureResult::kSnapFailed));
        return;
    }
    ShowSelection(picture, waiting);
}

ScreenCapture::Picture ScreenCapture::GrabScreen()
{
    QScreen* screen = QGuiApplication::primaryScreen();
    // Without a display the service runs offscreen, where a grab is a blank picture of no screen.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        screen = nullptr;
    if (!screen) {
        qCCritical(lcSnap) << "screen get failed, exit";
        return Picture();
    }
    Picture picture{screen->grabWindow(0), screen->devicePixelRatio(), screen->geometry()};
    if (picture.pixmap.isNull())
        qCCritical(lcSnap) << "SnapScreenTool::GrabScreen:the display gave no image";
    return picture;
}

ScreenCapture::Picture ScreenCapture::Adopt(const QImage& _image)
{
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen || QGuiApplication::platformName() == QLatin1String("offscreen"))
        return Picture();
    const QRect rectScreen = screen->geometry();
    // The portal's picture is in device pixels; the overlay and the selection in the screen's.
    return Picture{QPixmap::fromImage(_image),
                   rectScreen.width() > 0 ? double(_image.width()) / rectScreen.width() : 1.0, rectScreen};
}

void ScreenCapture::StartSaveJob(const QImage& _image, CaptureCallback _callback)
{
    const bool queued = WorkerPool::Service().Run(
        this, [_image] { return SnapEncoder::EncodeAndStore(_image); },
        [_callback](SnapEncoder::Result _result) {
            _callback(_result.ok ? CaptureResult::Taken(_result.pathBase64, _result.imageBase64)
                                 : CaptureResult::Failed(CaptureResult::kSaveFailed));
        });
    if (!queued) {
        qCCritical(lcSnap) << "SnapScreenTool:the worker pool refused to save a capture";
        _callback(CaptureResult::Refused());
    }
}
