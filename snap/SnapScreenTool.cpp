#include "snap/SnapScreenTool.h"
#include "core/LogCategories.h"
#include "core/JsonCommand.h"
#include "core/MessageService.h"
#include "core/WorkerPool.h"
#include "snap/SnapEncoder.h"
#include "snap/ToolBar.h"

#include <QDebug>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>

#include <ctime>

const QString SnapScreenTool::kCancelByEsc = QStringLiteral("user cancel by press esc");
const QString SnapScreenTool::kCancelByButton = QStringLiteral("user cancel by button");
const QString SnapScreenTool::kSnapFailed = QStringLiteral("failed to snap screen");
const QString SnapScreenTool::kEmptyArea = QStringLiteral("empty area,abord");
const QString SnapScreenTool::kSuperseded = QStringLiteral("cancelled by a newer capture request");
const QString SnapScreenTool::kSaveFailed = QStringLiteral("failed to save snap file");
const QString SnapScreenTool::kBusy = Envelope::CoreErrorText(Envelope::kAbilityNotDealt);

SnapScreenTool::SnapScreenTool()
{
    setObjectName(QStringLiteral("SnapScreenTool"));
    resize(800, 600);
    setWindowTitle(QCoreApplication::translate("SnapScreenTool", "SnapScreenTool"));
    QMetaObject::connectSlotsByName(this);
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    m_clock.start();
    if (PortalScreenshot::IsUsed()) {
        m_pPortal = new PortalScreenshot(PortalScreenshot::kTimeoutMs, this);
        connect(m_pPortal, &PortalScreenshot::signFinished, this, &SnapScreenTool::slotPortalFinished);
    }
}

// Work still on the pool answers nobody: its delivery finds this object gone.
SnapScreenTool::~SnapScreenTool() = default;

void SnapScreenTool::StartSnap(bool _blFullScreen, SnapCallback _funcCallback)
{
    // The client still waiting for its selection, or for the picture it is to choose from, gets an
    // answer before the new capture begins.
    const bool blSelecting = IsSelecting();
    if (blSelecting || m_funcCallback)
        Finish(false, kSuperseded, QByteArray());
    if (_blFullScreen) {
        StartFullScreen(std::move(_funcCallback), blSelecting);
        return;
    }
    m_bFullScreen = false;
    m_funcCallback = std::move(_funcCallback);
    qCDebug(lcSnap) << "begin snap:" << clock();
    // The overlay covers the screen; its frozen grab is what the user sees beneath it.
    if (!blSelecting && m_pPortal) {
        m_pPortal->Request();
        return;
    }
    if (!blSelecting && !GrabScreen()) {
        Cancel(kSnapFailed);
        return;
    }
    ShowSelection();
}

void SnapScreenTool::ShowSelection()
{
    m_geometry.Reset(size(), m_bFullScreen);
    qCDebug(lcSnap) << "screen size:" << width() << "," << height();
    qCDebug(lcSnap) << "end snap:" << clock();
    ShowOverlay();
    CreateToolBar();
}

void SnapScreenTool::StartFullScreen(SnapCallback _funcCallback, bool _blFrozen)
{
    // Nothing to choose: the overlay would only flash on the screen.
    if (_blFrozen)
        CloseOverlay();
    if (m_pGrab) {
        if (m_pGrab->waiting.size() > static_cast<size_t>(kMaxWaitingRequests)) {
            qCWarning(lcSnap)
                << "SnapScreenTool:capture requests waiting for the grab in progress, one more refused";
            _funcCallback(false, kSnapFailed, QByteArray());
            return;
        }
        m_pGrab->waiting.push_back(std::move(_funcCallback));
        PumpGrab();
        return;
    }
    qCDebug(lcSnap) << "begin snap:" << clock();
    m_pGrab = std::make_unique<SharedGrab>();
    m_pGrab->serial = ++m_nGrabs;
    m_pGrab->waiting.push_back(std::move(_funcCallback));
    if (!_blFrozen && m_pPortal) {
        m_pGrab->picturePending = true;
        m_pPortal->Request();
        return;
    }
    if (!_blFrozen && !GrabScreen()) {
        FailGrab(kSnapFailed);
        return;
    }
    m_bFullScreen = true;
    m_geometry.Reset(size(), true);
    qCDebug(lcSnap) << "screen size:" << width() << "," << height();
    qCDebug(lcSnap) << "end snap:" << clock();
    const QRect crop = m_geometry.CropRect(m_dPixelRatio, true).intersected(m_pixScreen.rect());
    m_geometry.Release();
    if (crop.isEmpty()) {
        FailGrab(kEmptyArea);
        return;
    }
    // The whole grab needs no copy of its pixels; from here on the image alone holds them.
    const QImage image =
        crop == m_pixScreen.rect() ? m_pixScreen.toImage() : m_pixScreen.copy(crop).toImage();
    m_pixScreen = QPixmap();
    EncodeGrab(image);
}

void SnapScreenTool::EncodeGrab(const QImage& _image)
{
    const quint64 serial = m_pGrab->serial;
    const bool queued = WorkerPool::Service().Run(
        this, [_image] { return SnapEncoder::Encode(_image); },
        [this, serial](SnapEncoder::Picture _picture) {
            if (!m_pGrab || m_pGrab->serial != serial)
                return;
            m_pGrab->picture = std::move(_picture);
            m_pGrab->encoded = true;
            PumpGrab();
        });
    if (queued)
        return;
    qCCritical(lcSnap) << "SnapScreenTool:the worker pool refused the encoding";
    FailGrab(kBusy);
}

void SnapScreenTool::FailGrab(const QString& _qstrReason)
{
    const std::deque<SnapCallback> waiting = std::move(m_pGrab->waiting);
    m_pGrab.reset();
    for (const SnapCallback& callback : waiting)
        callback(false, _qstrReason, QByteArray());
}

void SnapScreenTool::slotPortalFinished(PortalScreenshot::Outcome _outcome, const QImage& _image,
                                        const QString& _qstrReason)
{
    QImage picture;
    if (_outcome == PortalScreenshot::Outcome::Picture) {
        picture = _image;
    } else if (_outcome == PortalScreenshot::Outcome::NoPortal) {
        qCWarning(lcSnap).noquote()
            << "SnapScreenTool:no screenshot portal (" + _qstrReason +
                   "), grabbing the X11 display instead: the picture may be incomplete";
        if (GrabScreen())
            picture = m_pixScreen.toImage();
    } else {
        qCWarning(lcSnap).noquote() << "SnapScreenTool:no picture from the screenshot portal: " + _qstrReason;
    }
    // Full-screen requests take the picture as it is; an area request then shows it to choose from.
    if (m_pGrab && m_pGrab->picturePending) {
        m_pGrab->picturePending = false;
        if (picture.isNull())
            FailGrab(kSnapFailed);
        else
            EncodeGrab(picture);
    }
    if (!m_funcCallback) {
        m_pixScreen = QPixmap();
        return;
    }
    if (picture.isNull() || !AdoptPicture(picture)) {
        Cancel(kSnapFailed);
        return;
    }
    ShowSelection();
}

bool SnapScreenTool::AdoptPicture(const QImage& _image)
{
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen || QGuiApplication::platformName() == QLatin1String("offscreen"))
        return false;
    const QRect rectScreen = screen->geometry();
    m_pixScreen = QPixmap::fromImage(_image);
    // The portal's picture is in device pixels; the overlay and the selection in the screen's.
    m_dPixelRatio = rectScreen.width() > 0 ? double(_image.width()) / rectScreen.width() : 1.0;
    setFixedSize(rectScreen.size());
    move(rectScreen.topLeft());
    return true;
}

void SnapScreenTool::PumpGrab()
{
    SharedGrab* grab = m_pGrab.get();
    if (!grab || !grab->encoded || grab->storing || grab->timerArmed)
        return;
    if (grab->waiting.empty()) {
        m_pGrab.reset();
        return;
    }
    if (grab->picture.png.isEmpty()) {
        const std::deque<SnapCallback> waiting = std::move(grab->waiting);
        m_pGrab.reset();
        for (const SnapCallback& callback : waiting)
            callback(false, kSaveFailed, QByteArray());
        return;
    }
    // Each answer carries the whole picture: the next is made once the last ones have mostly
    // left, or after a bound when a client is slow to read.
    if (MessageService::Instance().UnsentBytes() > kMaxUnsentBeforeAnswer) {
        if (grab->waitStartMs < 0)
            grab->waitStartMs = m_clock.elapsed();
        if (m_clock.elapsed() - grab->waitStartMs < kMaxAnswerWaitMs) {
            grab->timerArmed = true;
            QTimer::singleShot(10, this, [this, serial = grab->serial] {
                if (!m_pGrab || m_pGrab->serial != serial)
                    return;
                m_pGrab->timerArmed = false;
                PumpGrab();
            });
            return;
        }
    }
    grab->waitStartMs = -1;
    grab->storing = true;
    const bool queued = WorkerPool::Service().Run(
        this, [picture = grab->picture] { return SnapEncoder::Store(picture); },
        [this, serial = grab->serial](SnapEncoder::Result _result) {
            if (!m_pGrab || m_pGrab->serial != serial)
                return;
            m_pGrab->storing = false;
            const SnapCallback callback = std::move(m_pGrab->waiting.front());
            m_pGrab->waiting.pop_front();
            if (_result.ok)
                callback(true, _result.pathBase64, _result.imageBase64);
            else
                callback(false, kSaveFailed, QByteArray());
            PumpGrab();
        });
    if (queued)
        return;
    qCCritical(lcSnap) << "SnapScreenTool:the worker pool refused to store a capture";
    grab->storing = false;
    const SnapCallback callback = std::move(grab->waiting.front());
    grab->waiting.pop_front();
    callback(false, kBusy, QByteArray());
    QTimer::singleShot(0, this, &SnapScreenTool::PumpGrab);
}

bool SnapScreenTool::GrabScreen()
{
    QScreen* screen = QGuiApplication::primaryScreen();
    // Without a display the service runs offscreen, where a grab is a blank picture of no screen.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        screen = nullptr;
    if (!screen) {
        qCCritical(lcSnap) << "screen get failed, exit";
        return false;
    }
    m_pixScreen = screen->grabWindow(0);
    if (m_pixScreen.isNull()) {
        qCCritical(lcSnap) << "SnapScreenTool::GrabScreen:the display gave no image";
        return false;
    }
    m_dPixelRatio = screen->devicePixelRatio();
    const QRect rectScreen = screen->geometry();
    setFixedSize(rectScreen.size());
    move(rectScreen.topLeft());
    return true;
}

void SnapScreenTool::ShowOverlay()
{
    setFocusPolicy(Qt::StrongFocus);
    setFocus();
    setMouseTracking(true);
    // A Wayland compositor places windows itself; a full-screen one covers the screen wherever.
    if (m_pPortal)
        showFullScreen();
    else
        show();
    activateWindow();
    raise();
    update();
}

void SnapScreenTool::CreateToolBar()
{
    if (m_pToolBar)
        m_pToolBar->deleteLater();
    m_pToolBar = new ToolBar(this);
    // A compositor places a window of its own where it likes (sway: centred); inside the
    // full-screen overlay the bar needs no placement by anyone else.
    if (m_pPortal)
        m_pToolBar->setWindowFlags(Qt::Widget);
    connect(m_pToolBar, &ToolBar::signBtnCancelClicked, this, &SnapScreenTool::slot_on_btnCancel_clicked);
    connect(m_pToolBar, &ToolBar::signBtnOKClicked, this, &SnapScreenTool::slot_on_btnOK_clicked);
    PlaceToolBar();
    m_pToolBar->show();
}

void SnapScreenTool::PlaceToolBar()
{
    if (!m_pToolBar)
        return;
    const QPoint position = m_geometry.ToolBarPosition(m_pToolBar->size());
    m_pToolBar->move(m_pToolBar->isWindow() ? mapToGlobal(position) : position);
}

void SnapScreenTool::CloseOverlay()
{
    if (m_pToolBar)
        m_pToolBar->deleteLater();
    m_pToolBar = nullptr;
    hide();
    setMouseTracking(false);
    m_geometry.Release();
}

void SnapScreenTool::Cancel(const QString& _qstrMessage)
{
    qCDebug(lcSnap) << "OnCancel sending:";
    CloseOverlay();
    Finish(false, _qstrMessage, QByteArray());
}

void SnapScreenTool::Finish(bool _blSuccess, const QString& _qstrFirst, const QByteArray& _baImage)
{
    SnapCallback callback = std::move(m_funcCallback);
    m_funcCallback = nullptr;
    if (callback)
        callback(_blSuccess, _qstrFirst, _baImage);
}

void SnapScreenTool::slot_on_btnCancel_clicked()
{
    qCDebug(lcSnap) << "SnapScreenTool::btnCancel occured";
    Cancel(kCancelByButton);
}

void SnapScreenTool::slot_on_btnOK_clicked()
{
    qCDebug(lcSnap) << "SnapScreenTool::btnok occured";
    Save(false);
}

void SnapScreenTool::Save(bool _blFullScreen)
{
    const QRect crop = m_geometry.CropRect(m_dPixelRatio, _blFullScreen).intersected(m_pixScreen.rect());
    CloseOverlay();
    if (crop.isEmpty()) {
        Finish(false, kEmptyArea, QByteArray());
        return;
    }
    SnapCallback callback = std::move(m_funcCallback);
    m_funcCallback = nullptr;
    // The whole grab needs no copy of its 8 MB.
    if (callback)
        StartSaveJob(crop == m_pixScreen.rect() ? m_pixScreen.toImage() : m_pixScreen.copy(crop).toImage(),
                     std::move(callback));
}

void SnapScreenTool::StartSaveJob(QImage _image, SnapCallback _funcCallback)
{
    const bool queued = WorkerPool::Service().Run(
        this, [image = std::move(_image)] { return SnapEncoder::EncodeAndStore(image); },
        [_funcCallback](SnapEncoder::Result _result) {
            if (_result.ok)
                _funcCallback(true, _result.pathBase64, _result.imageBase64);
            else
                _funcCallback(false, kSaveFailed, QByteArray());
        });
    if (!queued) {
        qCCritical(lcSnap) << "SnapScreenTool:the worker pool refused to save a capture";
        _funcCallback(false, kBusy, QByteArray());
    }
}

void SnapScreenTool::mousePressEvent(QMouseEvent* _pEvent)
{
    // Outside the log statement: a disabled category skips the whole statement, press included.
    const auto hit = m_geometry.Press(_pEvent->pos());
    qCDebug(lcSnap) << "mousePressEvent hittest:" << hit;
}

void SnapScreenTool::mouseReleaseEvent(QMouseEvent*)
{
    m_geometry.Release();
    PlaceToolBar();
    qCDebug(lcSnap) << "mouseReleaseEvent occured";
}

void SnapScreenTool::mouseMoveEvent(QMouseEvent* _pEvent)
{
    if (!m_geometry.Move(_pEvent->pos())) {
        const SelectionGeometry::HitState hit =
            SelectionGeometry::HitTest(m_geometry.Selection(), _pEvent->pos());
        qCDebug(lcSnap) << "mouseMoveEvent hittest:" << hit;
        setCursor(SelectionGeometry::CursorFor(hit));
        return;
    }
    setCursor(SelectionGeometry::CursorFor(m_geometry.State()));
    update();
    PlaceToolBar();
}

void SnapScreenTool::keyPressEvent(QKeyEvent* _pEvent)
{
    if (_pEvent->key() == Qt::Key_Escape) {
        qCDebug(lcSnap) << "Key_Escape occured, exit";
        _pEvent->accept();
        Cancel(kCancelByEsc);
    }
    QWidget::keyPressEvent(_pEvent);
}

void SnapScreenTool::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawPixmap(rect(), m_pixScreen);
    if (m_bFullScreen)
        return;
    const QRect sel = m_geometry.Selection();
    const int sw = m_geometry.ScreenSize().width();
    const int sh = m_geometry.ScreenSize().height();
    const QColor dim(0, 0, 0, 200);
    painter.fillRect(QRect(0, 0, sel.x(), sh), dim);
    painter.fillRect(QRect(sel.x(), 0, sel.width(), sel.y()), dim);
    painter.fillRect(QRect(sel.x(), sel.y() + sel.height(), sel.width(), sh - sel.y() - sel.height()), dim);
    painter.fillRect(QRect(sel.x() + sel.width(), 0, sw - sel.x() - sel.width(), sh), dim);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(64, 159, 255), 2, Qt::SolidLine));
    painter.drawRect(sel);
    painter.setBrush(Qt::white);
    for (const QPoint& handle : SelectionGeometry::HandlePoints(sel))
        painter.drawEllipse(handle, SelectionGeometry::kHandleRadius, SelectionGeometry::kHandleRadius);
}

void SnapScreenTool::showEvent(QShowEvent* _pEvent)
{
    qCDebug(lcSnap) << "showEvent occured";
    activateWindow();
    raise();
    QWidget::showEvent(_pEvent);
}
